// ifl0: a small image-file library. Opens, creates, reads and writes raster
// image files by name, recognises the format of a file from its content and
// picks the format of a new file from its name's ending, and converts between
// the file's layout and the caller's buffer layout.
//
// Channel numbering. Every file is presented in the RGB colour model,
// 8 bits per sample:
//   file channel 0 red, 1 green, 2 blue, 3 alpha (only when the file has alpha).
// Grey files present their grey value as channels 0, 1 and 2 (so a grey
// picture reads as equal red, green and blue); palette files present their
// palette colours (and the palette's transparency as channel 3); CMYK and
// YCCK files are converted to RGB; 16-bit samples are rounded to the nearest
// 8-bit value. iflSize::c of an open file is 3, or 4 when it has alpha.
//
// Colour. Samples are sRGB: a file whose ICC profile (or primaries) says
// otherwise is converted to sRGB as it is read; alpha is kept. A profile
// that cannot be used is ignored with one warning line. Files are written
// without a profile.
//
// Channel lists. Entry i of an iflConfig's channel list names the file
// channel that buffer channel i exchanges with (plus the channel offset).
//   Reading: a buffer channel whose entry names a channel the file does not
//   have receives 255.
//   Writing: an entry that names a channel the file does not have is ignored;
//   a file channel that no entry names takes the buffer channel of the same
//   number (0 when the buffer has no such channel).
// Without a list, buffer channel i exchanges with file channel offset + i.
//
// Orientation. Codes 1 to 8 have their TIFF/EXIF meaning: where row 0 and
// column 0 of the stored data lie in the upright picture. 1 is upper-left
// (row 0 at the top, column 0 at the left), 4 lower-left (row 0 at the
// bottom); 5 to 8 exchange rows and columns. Tile coordinates and buffer
// contents are in the caller's layout orientation; the library maps them to
// the file's.
//
// Limits. A file whose picture is 0 wide or high, wider or higher than 32767,
// or whose 8-bit RGBA block would pass 2147483647 bytes, is refused by open.
//
// Errors. Every failing call returns a non-zero iflStatus and prints one line
// on standard error that names the file and the reason. No codec prints
// anything else, exits or throws across this interface.
#ifndef IFL0_H
#define IFL0_H

#include <cstddef>

enum iflStatus {
    iflSuccess = 0,
    iflErrNotFound,       // the file could not be opened by the system
    iflErrUnknownFormat,  // content or ending matches no known format
    iflErrBadParams,      // a call's arguments or layout are not usable
    iflErrTooLarge,       // the picture is beyond the library's limits
    iflErrCorrupt,        // the file is damaged or truncated
    iflErrUnsupported,    // a valid file or request this library cannot handle
    iflErrIO,             // reading or writing failed at the system level
    iflErrNoMemory,
};

// 0 in every enumeration means "not specified; the library chooses".
enum iflDataType { iflDataTypeDefault = 0, iflUInt8 = 2 };
enum iflOrder { iflOrderDefault = 0, iflInterleaved = 1 };
enum iflOrientation {
    iflOrientationDefault = 0,
    iflUpperLeft = 1,
    iflUpperRight = 2,
    iflLowerRight = 3,
    iflLowerLeft = 4,
    iflLeftUpper = 5,
    iflRightUpper = 6,
    iflRightLower = 7,
    iflLeftLower = 8,
};
enum iflColorModel { iflColorModelDefault = 0, iflGrey = 1, iflRGB = 2, iflRGBA = 3 };
enum iflCompression {
    iflCompressionDefault = 0,
    iflNoCompression = 1,
    iflLZW = 2,
    iflDeflate = 3,
    iflPackBits = 4,
    iflJPEGCompression = 5,
};

// Width, height, depth and channel count.
struct iflSize {
    int x = 0, y = 0, z = 0, c = 0;
    iflSize() = default;
    iflSize(int x_, int y_, int c_) : x(x_), y(y_), z(1), c(c_) {}
    iflSize(int x_, int y_, int z_, int c_) : x(x_), y(y_), z(z_), c(c_) {}
};

// Rewrites size (seen in orientation from) as seen in orientation to:
// x and y are exchanged when exactly one of the two orientations is 5 to 8.
void iflMapSize(iflOrientation from, iflSize& size, iflOrientation to);

// The layout of a caller's buffer for one transfer. The channel list is not
// copied: it must outlive the transfers that use it.
struct iflConfig {
    iflDataType dtype = iflUInt8;
    iflOrder order = iflInterleaved;
    int nchans = 0;  // channels per pixel in the buffer; 0: the file's count
    const int* channels = nullptr;
    int choff = 0;
    iflOrientation orientation = iflUpperLeft;

    iflConfig() = default;
    iflConfig(iflDataType dtype_, iflOrder order_, int nchans_ = 0, const int* channels_ = nullptr,
              int choff_ = 0, iflOrientation orientation_ = iflUpperLeft)
        : dtype(dtype_), order(order_), nchans(nchans_), channels(channels_), choff(choff_),
          orientation(orientation_) {}
};

// The attributes of a file to create. The size's c is the number of
// channels wanted (3 or 4); a format that cannot store alpha stores 3.
struct iflFileConfig {
    const iflSize* size = nullptr;
    iflDataType dtype = iflDataTypeDefault;
    iflOrder order = iflOrderDefault;
    iflColorModel colorModel = iflColorModelDefault;
    iflOrientation orientation = iflOrientationDefault;
    iflCompression compression = iflCompressionDefault;
    const iflSize* pageSize = nullptr;

    iflFileConfig(const iflSize* size_ = nullptr, iflDataType dtype_ = iflDataTypeDefault,
                  iflOrder order_ = iflOrderDefault, iflColorModel model_ = iflColorModelDefault,
                  iflOrientation orientation_ = iflOrientationDefault,
                  iflCompression compression_ = iflCompressionDefault, const iflSize* pageSize_ = nullptr)
        : size(size_), dtype(dtype_), order(order_), colorModel(model_), orientation(orientation_),
          compression(compression_), pageSize(pageSize_) {}
};

// A file format the library knows. Its objects belong to the library.
class iflFormat {
public:
    // The format with this name ("JPEG", "PNG", "TIFF", "PNM", "PAM", "BMP", "GIF", "WebP",
    // "HEIF", "AVIF", "JXL", "QOI", "ICO", "TGA"), in any letter case, or null.
    static iflFormat* find(const char* name);
    // The format a new file of this name gets from its ending, or null.
    static iflFormat* forName(const char* fileName);
    const char* name() const;
    bool canWrite() const;

protected:
    iflFormat() = default;
    ~iflFormat() = default;
    iflFormat(const iflFormat&) = delete;
    iflFormat& operator=(const iflFormat&) = delete;
};

// An open image file. Obtained from open or create; released by close.
class iflFile {
public:
    // Opens a file for reading (mode 0). With fd >= 0 the file is read from
    // that descriptor (left open) and name serves only in messages; with
    // fd -1 it is opened by name. A null format means: recognise the format
    // from the content. Returns null with a non-zero status on failure.
    // Input that is not a regular file (a pipe, a device) is recognised from
    // its first bytes before the rest is read, and read up to the largest
    // file a picture within the limits needs.
    static iflFile* open(int fd, const char* name, int mode, iflFormat* format, iflStatus* status);
    // Opens an in-memory file for reading; the bytes must outlive the object.
    static iflFile* openMemory(const void* data, size_t size, const char* name, iflFormat* format,
                               iflStatus* status);
    // Creates a file for writing. A null format means: from the name's ending.
    // Nothing changes at the name until a setTile has encoded the whole
    // picture; a failed write leaves what was there. A new or plain file is
    // written to a temporary file beside it that replaces it once complete.
    // A symbolic link is followed and its target replaced; a file with other
    // hard links is rewritten in place; a FIFO or device is written to. A
    // folder or a file the caller may not write fails here. source is not
    // used (may be null).
    static iflFile* create(int fd, const char* name, iflFile* source, const iflFileConfig* config,
                           iflFormat* format, iflStatus* status);

    // The file's size mapped to orientation 4, as a caller allocates it.
    iflStatus getDimensions(iflSize& size) const {
        size = size_;
        iflMapSize(orientation_, size, iflLowerLeft);
        return iflSuccess;
    }
    const iflSize& getSize() const { return size_; }
    iflOrientation getOrientation() const { return orientation_; }
    iflFormat* getFormat() const { return format_; }

    // Reads the tile at x, y, z of nx by ny by nz pixels, in the layout's
    // orientation, into data. A null layout is 8-bit interleaved, the file's
    // channels, upper-left.
    iflStatus getTile(int x, int y, int z, int nx, int ny, int nz, void* data,
                      const iflConfig* layout = nullptr);
    // Encodes the picture in data and writes the file. The tile must be the
    // whole picture (x, y, z 0; nx, ny the picture's size in the layout's
    // orientation; nz 1). Returns success only once the file is complete
    // at its name.
    iflStatus setTile(int x, int y, int z, int nx, int ny, int nz, const void* data,
                      const iflConfig* layout = nullptr);
    // Releases the file and the object. A created file whose pixels were
    // never written leaves nothing behind.
    iflStatus close(int flags = 0);

protected:
    iflFile() = default;
    ~iflFile() = default;
    iflFile(const iflFile&) = delete;
    iflFile& operator=(const iflFile&) = delete;

    iflSize size_;
    iflOrientation orientation_ = iflUpperLeft;
    iflFormat* format_ = nullptr;
};

#endif
