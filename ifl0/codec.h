// The interface between the library's core and its format modules. A module
// is one entry of the format table (formats.cpp): it recognises its files
// from their first bytes, reads their header, decodes their rows in the order
// the file stores them, and encodes rows handed to it. The core does all
// channel and orientation mapping, size limits, temporary files and messages.
#ifndef IFL0_CODEC_H
#define IFL0_CODEC_H

#include "ifl0.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace ifl0 {

// The picture model's limits: sides up to 32767, an RGBA block of at most
// 2147483647 bytes. Modules check them before any allocation that scales
// with the picture.
constexpr int kMaxSide = 32767;
constexpr int64_t kMaxBlockBytes = 2147483647;
// The most pixels a picture may have. Only fuzzers lower it, so that headers
// promising huge pictures do not slow them down; the library never changes it.
extern int64_t maxPixels;
inline bool withinLimits(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           width * height * 4 <= kMaxBlockBytes && width * height <= maxPixels;
}

// A whole file's bytes, in memory or mapped; valid for the reader's lifetime.
struct Bytes {
    const uint8_t* data = nullptr;
    size_t size = 0;
};

// What a module learns from a file's header.
struct Info {
    int width = 0;   // stored width: the length of a stored row
    int height = 0;  // stored height: the number of stored rows
    int channels = 3;  // 3, or 4 when the file has alpha
    iflOrientation orientation = iflUpperLeft;
};

// Receives decoded rows. A row is width x 4 bytes of 8-bit RGBA; a file
// without alpha fills byte 3 with 255.
class RowSink {
public:
    // Where to decode stored row r (0 <= r < height).
    virtual uint8_t* row(int r) = 0;
    // Stored row r is complete.
    virtual void done(int r) = 0;
    // True when every row(r) is a distinct buffer that stays valid for the
    // whole decode, so a multi-pass decoder (interlaced PNG, GIF) may write
    // into the rows directly and call done once per row at the end.
    // Such a sink also takes row and done calls from two threads at once,
    // for different rows. Otherwise a row's buffer is only valid until its
    // done call and the module must call row, fill, done for each row in
    // order, once, from one thread.
    virtual bool persistent() const = 0;

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

    // Stored row r, `channels` bytes per pixel; valid until the next call.
    virtual const uint8_t* row(int r) = 0;
    // True when rgbxRow works: every row lies in the caller's buffer as
    // 4-byte pixels whose first `channels` bytes are the file's channels,
    // so an encoder that takes RGBX/RGBA input can read it in place.
    virtual bool hasRgbx() const = 0;
    virtual const uint8_t* rgbxRow(int r) = 0;

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
};

extern const Codec jpegCodec;
extern const Codec pngCodec;
extern const Codec tiffCodec;
extern const Codec pnmCodec;  // reads P1 to P7, writes binary PPM
extern const Codec pamCodec;  // writes PAM (P7), RGB or RGBA
extern const Codec bmpCodec;
extern const Codec gifCodec;
extern const Codec webpCodec;

// The format table, in the order formats are tried on reading.
extern const Codec* const kCodecs[];
extern const size_t kCodecCount;

}  // namespace ifl0

#endif
