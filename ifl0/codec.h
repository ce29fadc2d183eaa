// The interface between the library's core and its format modules. A module
// is one entry of the format table (formats.cpp): it recognises its files
// from their first bytes, reads their header, decodes their rows in the order
// the file stores them, and encodes rows handed to it. The core owns every
// rule around that: channel and orientation mapping, size limits, messages,
// containment of failures, files and temporaries, threads and large blocks.
#ifndef IFL0_CODEC_H
#define IFL0_CODEC_H

#include "block.h"
#include "colour.h"
#include "ifl0.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace ifl0 {

// The picture model's limits: sides up to 32767, an RGBA block of at most
// 2147483647 bytes.
constexpr int kMaxSide = 32767;
constexpr int64_t kMaxBlockBytes = 2147483647;
// The most pixels a picture may have. Only fuzzers lower it, so that headers
// promising huge pictures do not slow them down; the library never changes it.
extern int64_t maxPixels;

// A big-endian 32-bit number.
inline uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}
// Little-endian 16 and 32-bit numbers.
inline uint16_t le16(const uint8_t* p) { return uint16_t(p[0] | p[1] << 8); }
inline uint32_t le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// A whole file's bytes, in memory or mapped; valid for the reader's lifetime.
struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// What a module learns from a file's header.
struct Info {
    int64_t width = 0;   // stored width: the length of a stored row
    int64_t height = 0;  // stored height: the number of stored rows
    int channels = 3;    // 3, or 4 when the file has alpha
    iflOrientation orientation = iflUpperLeft;
    // The file's colour description: an embedded ICC profile (empty when
    // none), and what the decoded samples are. The core converts them to
    // sRGB through the profile; a module never does.
    std::vector<uint8_t> icc;
    Samples samples = Samples::rgb;  // cmyk only when the module can deliver ink amounts

    // Records the stored size as soon as the header gives it, before
    // anything that scales with the picture is allocated. False when the
    // picture is beyond the size limits: the module then returns
    // iflErrTooLarge and the core says why.
    bool setSize(int64_t storedWidth, int64_t storedHeight);
};

// Rows that lie in one block for a whole transfer: row r starts at
// base + r * stride bytes (stride is negative for rows stored bottom-up).
// A null base means the rows do not.
template <typename T>
struct Rows {
    T* base = nullptr;
    ptrdiff_t stride = 0;
    explicit operator bool() const { return base != nullptr; }
    T* row(int r) const { return base + ptrdiff_t(r) * stride; }
};

// Receives decoded rows. A row is width x 4 bytes of 8-bit RGBA; a file
// without alpha fills byte 3 with 255.
class RowSink {
public:
    // Set when every stored row lies in the caller's block for the whole
    // decode (row(r) == block.row(r)): a multi-pass decoder (interlaced
    // PNG, GIF) may then write into the rows directly and call done once
    // per row at the end, and row and done may be called from two threads
    // at once, for different rows. Otherwise a row's buffer is only valid
    // until its done call and the module must call row, fill, done for each
    // row in order, once, from one thread.
    Rows<uint8_t> block;
    // Set when the core converts CMYK through the file's profile: a module
    // whose Info said Samples::cmyk then delivers the ink amounts (0 none)
    // in bytes 0 to 3 instead of converting them to RGB itself.
    bool cmyk = false;

    // Where to decode stored row r (0 <= r < height).
    virtual uint8_t* row(int r) = 0;
    // Stored row r is complete: the module neither writes nor reads it
    // again (the core may convert and map it at once, on another thread).
    virtual void done(int r) = 0;

protected:
    ~RowSink() = default;
};

class Reader {
public:
    virtual ~Reader() = default;
    // Decodes the whole picture into sink. On failure returns a non-zero
    // status and a one-line reason in err. May be called again; each call
    // decodes from the start.
    virtual iflStatus decode(RowSink& sink, std::string& err) = 0;
};

// Hands a writer the picture row by row, in the order the file stores them.
class PixelSource {
public:
    int width = 0;     // stored width
    int height = 0;    // stored height
    int channels = 3;  // channels the file gets: 3 (RGB) or 4 (RGBA)
    // Set when every stored row lies in the caller's block as 4-byte pixels
    // whose first `channels` bytes are the file's channels, so an encoder
    // that takes RGBX or RGBA input reads them in place, from any thread.
    Rows<const uint8_t> rgbx;

    // Stored row r, `channels` bytes per pixel; valid until the next call.
    virtual const uint8_t* row(int r) = 0;

protected:
    ~PixelSource() = default;
};

struct WriteOptions {
    iflCompression compression = iflCompressionDefault;
};

struct Codec {
    const char* name;
    const char* const* endings;  // lower case, without the dot, null-terminated
    // True when the first bytes (n of them, maybe fewer than the module
    // would like) look like this format. Looks at magic bytes only. Null for
    // a write-only entry.
    bool (*sniff)(const uint8_t* p, size_t n);
    // Reads the header of in. On success fills info and reader.
    iflStatus (*open)(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err);
    // Encodes the picture into out (a new, empty file). Null when the
    // format is read-only. The core flushes and closes out.
    iflStatus (*write)(FILE* out, PixelSource& px, const WriteOptions& opts, std::string& err);
    // The most channels the format stores: 3 or 4.
    int maxChannels;
    // The compressions (bits 1 << iflCompression) under which the written
    // file gives back every stored sample exactly.
    unsigned lossless;
};

constexpr unsigned kAllLossless = ~0u;

// Writes n bytes to a writer's file; on failure returns iflErrIO with err
// "write failed: REASON".
iflStatus writeAll(FILE* out, const void* p, size_t n, std::string& err);

// The format table: one line per module (NAME.cpp defines NAMECodec), in
// the order formats are tried on reading.
#define IFL0_FORMATS(X) \
    X(jpeg)             \
    X(png)              \
    X(tiff)             \
    X(gif)              \
    X(webp)             \
    X(bmp)              \
    X(pnm) /* reads P1 to P7, writes binary PPM */ \
    X(pam) /* writes PAM (P7), RGB or RGBA */ \
    X(heif) /* HEVC in HEIF, through libheif */ \
    X(avif) /* AV1 in HEIF, through libheif */ \
    X(jxl) /* JPEG XL, through libjxl */ \
    X(qoi)              \
    X(ico) /* reads ICO and CUR; no magic number: after those that have one */ \
    X(tga) /* no magic number: tried last */

#define IFL0_DECLARE_CODEC(name) extern const Codec name##Codec;
IFL0_FORMATS(IFL0_DECLARE_CODEC)
#undef IFL0_DECLARE_CODEC

#define IFL0_COUNT_CODEC(name) +1
constexpr size_t kCodecCount = 0 IFL0_FORMATS(IFL0_COUNT_CODEC);
#undef IFL0_COUNT_CODEC
extern const Codec* const kCodecs[kCodecCount];

// Opens the BMP picture an ICO or CUR entry holds: an info header (no file
// header) whose height counts the rows twice, the palette, the colour rows,
// then a 1-bit mask whose set bits are transparent. A 32-bit picture takes
// its alpha from its fourth bytes unless all are 0. Always 4 channels.
iflStatus openIconBitmap(Bytes bitmap, Info& info, std::unique_ptr<Reader>& reader, std::string& err);

// A library that only some formats need, opened on first use: the first of
// the names (null-terminated) that loads stays loaded until the program
// ends. Null, with err "cannot load LABEL: REASON", when none loads.
void* openLibrary(const char* label, const char* const* names, std::string& err);
// A symbol of such a library, or null with err "cannot load LABEL: REASON".
void* librarySymbol(void* library, const char* label, const char* symbol, std::string& err);

// A module's calls into such a library: an X-macro list of the functions,
// a struct of pointers named after them (IFL0_CALL_POINTER), and, where
// `library`, `label`, `bound` (the struct) and `failure` (a string) are in
// scope, IFL0_BIND_CALL, which binds each or returns null.
template <typename Call>
bool bindCall(void* library, const char* label, const char* symbol, Call*& to, std::string& err) {
    to = reinterpret_cast<Call*>(librarySymbol(library, label, symbol, err));
    return to != nullptr;
}
#define IFL0_CALL_POINTER(name) decltype(&::name) name = nullptr;
#define IFL0_BIND_CALL(name) \
    if (!::ifl0::bindCall(library, label, #name, bound.name, failure)) return nullptr;

// While one lives, the process's standard error goes nowhere: for codec
// libraries that print their complaints there with no way to stop them
// (libde265 and dav1d, under libheif). Nests, and may live on several
// threads at once; the library's own line is printed after it ends.
class SilencedStderr {
public:
    SilencedStderr();
    ~SilencedStderr();
    SilencedStderr(const SilencedStderr&) = delete;
    SilencedStderr& operator=(const SilencedStderr&) = delete;
};

// Work on a picture of fewer pixels stays on the calling thread: for it a
// second thread gains little and, on a busy machine, can cost more in
// waiting for a core. inParallel's callers check it.
constexpr int64_t kMinParallelPixels = 2000000;

// The threads a codec library may run for one picture: the machine's cores.
int threadCount();

// Runs first on the calling thread while second runs on another thread;
// both on the calling thread, one after the other, when no thread can be
// started. An exception from either is rethrown once both have finished.
void inParallel(const std::function<void()>& first, const std::function<void()>& second);


}  // namespace ifl0

#endif
