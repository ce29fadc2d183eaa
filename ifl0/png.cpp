// PNG over libpng. Every colour type and bit depth is delivered as 8-bit
// RGBA rows: palettes and low-bit grey are expanded, tRNS becomes alpha,
// grey is copied to red, green and blue, and 16-bit samples are rounded to
// the nearest 8-bit value. Samples are taken as stored: no gamma or colour
// management is applied.
//
// libpng reports errors by calling our error function, which longjmps back
// to the setjmp in one of the small guarded functions below. Those functions
// are kept C-shaped (no objects with destructors); the libpng structures and
// every buffer are owned by the callers, which clean up on either path.
#include "codec.h"

#include <png.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

namespace ifl0 {

namespace {

const uint8_t kSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};

// No ancillary chunk may make libpng allocate more than this, nor keep more
// than kChunkCacheMax of them.
constexpr png_alloc_size_t kChunkMallocMax = 8u << 20;
constexpr png_uint_32 kChunkCacheMax = 1000;

// The state a guarded function shares with the libpng callbacks.
struct PngState {
    png_structp png = nullptr;
    png_infop info = nullptr;
    // Reading: the whole file and the read position.
    const uint8_t* data = nullptr;
    size_t size = 0;
    size_t pos = 0;
    // Writing.
    FILE* out = nullptr;
    // Why the last guarded call failed.
    iflStatus status = iflErrCorrupt;
    char msg[200] = {0};
};

void onError(png_structp png, png_const_charp msg) {
    PngState* s = static_cast<PngState*>(png_get_error_ptr(png));
    if (s->msg[0] == 0) snprintf(s->msg, sizeof s->msg, "%s", msg ? msg : "libpng error");
    if (msg && strstr(msg, "memory")) s->status = iflErrNoMemory;
    png_longjmp(png, 1);
}

void onWarning(png_structp, png_const_charp) {}

// Reading past the end of the bytes is an error: the file is truncated.
void readBytes(png_structp png, png_bytep dst, size_t n) {
    PngState* s = static_cast<PngState*>(png_get_io_ptr(png));
    if (n > s->size - s->pos) {
        snprintf(s->msg, sizeof s->msg, "the file is truncated");
        s->status = iflErrCorrupt;
        png_error(png, s->msg);
    }
    memcpy(dst, s->data + s->pos, n);
    s->pos += n;
}

void writeBytes(png_structp png, png_bytep src, size_t n) {
    PngState* s = static_cast<PngState*>(png_get_io_ptr(png));
    if (fwrite(src, 1, n, s->out) != n) {
        snprintf(s->msg, sizeof s->msg, "cannot write: %s", strerror(errno));
        s->status = iflErrIO;
        png_error(png, s->msg);
    }
}

void flushBytes(png_structp png) {
    PngState* s = static_cast<PngState*>(png_get_io_ptr(png));
    fflush(s->out);
}

// Owns a read struct for one pass over the file.
struct ReadContext {
    PngState s;
    explicit ReadContext(Bytes in) {
        s.data = in.data;
        s.size = in.size;
        s.png = png_create_read_struct(PNG_LIBPNG_VER_STRING, &s, onError, onWarning);
        if (s.png) s.info = png_create_info_struct(s.png);
    }
    ~ReadContext() {
        if (s.png) png_destroy_read_struct(&s.png, s.info ? &s.info : nullptr, nullptr);
    }
    ReadContext(const ReadContext&) = delete;
    ReadContext& operator=(const ReadContext&) = delete;
    bool ok() const { return s.png && s.info; }
};

// The header facts the reader needs.
struct Header {
    png_uint_32 width = 0, height = 0;
    int interlace = PNG_INTERLACE_NONE;
    bool alpha = false;
};

// Reads up to the first IDAT and sets the transforms that turn every kind of
// PNG into 8-bit RGBA rows. Call only inside a guarded function.
void startRead(PngState* s, Header* h) {
    png_set_read_fn(s->png, s, readBytes);
    png_set_user_limits(s->png, kMaxSide, kMaxSide);
    png_set_chunk_malloc_max(s->png, kChunkMallocMax);
    png_set_chunk_cache_max(s->png, kChunkCacheMax);
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
    // Mutated files rarely keep their checksums; the fuzzers look past them.
    png_set_crc_action(s->png, PNG_CRC_QUIET_USE, PNG_CRC_QUIET_USE);
#ifdef PNG_IGNORE_ADLER32
    png_set_option(s->png, PNG_IGNORE_ADLER32, PNG_OPTION_ON);
#endif
#endif
    png_read_info(s->png, s->info);
    h->width = png_get_image_width(s->png, s->info);
    h->height = png_get_image_height(s->png, s->info);
    h->interlace = png_get_interlace_type(s->png, s->info);
    int type = png_get_color_type(s->png, s->info);
    h->alpha = (type & PNG_COLOR_MASK_ALPHA) || png_get_valid(s->png, s->info, PNG_INFO_tRNS);
    if (!withinLimits(h->width, h->height)) {
        snprintf(s->msg, sizeof s->msg, "picture of %u by %u is beyond the size limits", unsigned(h->width),
                 unsigned(h->height));
        s->status = iflErrTooLarge;
        png_error(s->png, s->msg);
    }
    png_set_expand(s->png);
    png_set_scale_16(s->png);
    png_set_gray_to_rgb(s->png);
    if (!h->alpha) png_set_filler(s->png, 0xff, PNG_FILLER_AFTER);
    png_set_interlace_handling(s->png);
    png_read_update_info(s->png, s->info);
    if (png_get_rowbytes(s->png, s->info) != size_t(h->width) * 4) {
        snprintf(s->msg, sizeof s->msg, "unexpected row layout after conversion");
        s->status = iflErrUnsupported;
        png_error(s->png, s->msg);
    }
}

// Returns 0 with h filled, or 1 with s->msg set.
int guardedHeader(PngState* s, Header* h) {
    if (setjmp(png_jmpbuf(s->png))) return 1;
    startRead(s, h);
    return 0;
}

// Decodes a non-interlaced file row by row into the sink. Returns 0 or 1.
int guardedRows(PngState* s, Header* h, RowSink* sink) {
    if (setjmp(png_jmpbuf(s->png))) return 1;
    startRead(s, h);
    if (h->interlace != PNG_INTERLACE_NONE) {
        snprintf(s->msg, sizeof s->msg, "the file changed while being read");
        png_error(s->png, s->msg);
    }
    for (png_uint_32 r = 0; r < h->height; ++r) {
        png_read_row(s->png, sink->row(int(r)), nullptr);
        sink->done(int(r));
    }
    png_read_end(s->png, nullptr);
    return 0;
}

// Decodes every pass of an interlaced file into rows (h->height pointers,
// each to a row of h->width RGBA pixels). Returns 0 or 1.
int guardedImage(PngState* s, Header* h, png_bytepp rows, png_uint_32 nrows) {
    if (setjmp(png_jmpbuf(s->png))) return 1;
    startRead(s, h);
    if (h->height != nrows) {
        snprintf(s->msg, sizeof s->msg, "the file changed while being read");
        png_error(s->png, s->msg);
    }
    png_read_image(s->png, rows);
    png_read_end(s->png, nullptr);
    return 0;
}

class PngReader final : public Reader {
public:
    PngReader(Bytes in, const Header& h) : in_(in), header_(h) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        ReadContext c(in_);
        if (!c.ok()) {
            err = "out of memory";
            return iflErrNoMemory;
        }
        Header h;
        int rc;
        if (header_.interlace == PNG_INTERLACE_NONE) {
            rc = guardedRows(&c.s, &h, &sink);
        } else {
            // The passes revisit every row, so they need all rows at once:
            // the sink's own when they stay valid, else one whole picture.
            size_t w = header_.width, ht = header_.height;
            rows_.assign(ht, nullptr);
            bool direct = sink.persistent();
            if (!direct) {
                if (!withinLimits(int64_t(w), int64_t(ht))) {
                    err = "picture beyond the size limits";
                    return iflErrTooLarge;
                }
                try {
                    picture_.resize(w * ht * 4);
                } catch (const std::bad_alloc&) {
                    err = "out of memory";
                    return iflErrNoMemory;
                }
            }
            for (size_t r = 0; r < ht; ++r)
                rows_[r] = direct ? sink.row(int(r)) : picture_.data() + r * w * 4;
            rc = guardedImage(&c.s, &h, rows_.data(), header_.height);
            if (rc == 0) {
                for (size_t r = 0; r < ht; ++r) {
                    if (!direct) memcpy(sink.row(int(r)), rows_[r], w * 4);
                    sink.done(int(r));
                }
            }
            std::vector<uint8_t>().swap(picture_);
            std::vector<png_bytep>().swap(rows_);
        }
        if (rc != 0) {
            err = c.s.msg[0] ? c.s.msg : "cannot decode";
            return c.s.status;
        }
        return iflSuccess;
    }

private:
    Bytes in_;
    Header header_;
    std::vector<uint8_t> picture_;
    std::vector<png_bytep> rows_;
};

const char* const kEndings[] = {"png", nullptr};

bool sniff(const uint8_t* p, size_t n) { return n >= 8 && memcmp(p, kSignature, 8) == 0; }

uint32_t bigEndian32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3];
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    // The size in IHDR first, so an oversized picture is named as such
    // rather than as whatever libpng's own limit check says.
    if (in.size >= 24 && memcmp(in.data + 12, "IHDR", 4) == 0) {
        uint32_t w = bigEndian32(in.data + 16), h = bigEndian32(in.data + 20);
        if (w > 0 && h > 0 && !withinLimits(w, h)) {
            err = "picture of " + std::to_string(w) + " by " + std::to_string(h) + " is beyond the size limits";
            return iflErrTooLarge;
        }
    }
    ReadContext c(in);
    if (!c.ok()) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    Header h;
    if (guardedHeader(&c.s, &h) != 0) {
        err = c.s.msg[0] ? c.s.msg : "cannot read the header";
        return c.s.status;
    }
    info.width = int(h.width);
    info.height = int(h.height);
    info.channels = h.alpha ? 4 : 3;
    info.orientation = iflUpperLeft;
    reader.reset(new PngReader(in, h));
    return iflSuccess;
}

// Writes the whole picture. Returns 0, or 1 with s->msg set.
int guardedWrite(PngState* s, PixelSource* px) {
    if (setjmp(png_jmpbuf(s->png))) return 1;
    png_set_write_fn(s->png, s, writeBytes, flushBytes);
    png_set_IHDR(s->png, s->info, png_uint_32(px->width), png_uint_32(px->height), 8,
                 px->channels == 4 ? PNG_COLOR_TYPE_RGB_ALPHA : PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    png_set_compression_level(s->png, 6);
    png_write_info(s->png, s->info);
    int rgbx = px->hasRgbx();
    // libpng drops the fourth byte of each pixel of the caller's RGBX rows.
    if (rgbx && px->channels == 3) png_set_filler(s->png, 0, PNG_FILLER_AFTER);
    for (int r = 0; r < px->height; ++r) png_write_row(s->png, rgbx ? px->rgbxRow(r) : px->row(r));
    png_write_end(s->png, s->info);
    return 0;
}

iflStatus write(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    if (!withinLimits(px.width, px.height) || (px.channels != 3 && px.channels != 4)) {
        err = "unsupported picture for PNG";
        return iflErrBadParams;
    }
    PngState s;
    s.out = out;
    s.status = iflErrIO;
    s.png = png_create_write_struct(PNG_LIBPNG_VER_STRING, &s, onError, onWarning);
    if (s.png) s.info = png_create_info_struct(s.png);
    int rc = s.png && s.info ? guardedWrite(&s, &px) : 1;
    if (!s.png || !s.info) snprintf(s.msg, sizeof s.msg, "out of memory"), s.status = iflErrNoMemory;
    if (s.png) png_destroy_write_struct(&s.png, s.info ? &s.info : nullptr);
    if (rc != 0) {
        err = s.msg[0] ? s.msg : "cannot encode";
        return s.status;
    }
    return iflSuccess;
}

}  // namespace

const Codec pngCodec = {"PNG", kEndings, sniff, open, write, 4};

}  // namespace ifl0
