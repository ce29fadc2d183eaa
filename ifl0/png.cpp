// PNG over libpng. Every colour type and bit depth is delivered as 8-bit
// RGBA rows: palettes and low-bit grey are expanded, tRNS becomes alpha,
// grey is copied to red, green and blue, and 16-bit samples are rounded to
// the nearest 8-bit value. Samples are taken as stored: no gamma or colour
// management is applied. Writing is our own code over libdeflate (below).
//
// libpng reports errors by calling our error function, which longjmps back
// to the setjmp in one of the small guarded functions below. Those functions
// are kept C-shaped (no objects with destructors); the libpng structures and
// every buffer are owned by the callers, which clean up on either path.
#include "codec.h"

#include <libdeflate.h>
#include <png.h>

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <sys/mman.h>
#include <system_error>
#include <thread>
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

// --- Writing ---------------------------------------------------------------
//
// The writer is our own: each row gets the PNG filter whose output has the
// smallest sum of absolute values (libpng's heuristic), rows are filtered
// on two threads, and the whole filtered picture is compressed in one call
// to libdeflate, which at level 5 is several times faster than zlib at its
// default level and writes files no larger.

constexpr int kDeflateLevel = 5;
constexpr size_t kIdatBytes = size_t(1) << 20;  // one IDAT chunk's data at most

// A large block aligned to and backed by transparent huge pages, so that
// filling it costs one page fault per 2 MiB.
struct Block {
    uint8_t* p = nullptr;
    explicit Block(size_t n) {
        constexpr size_t huge = size_t(2) << 20;
        size_t rounded = (n + huge - 1) & ~(huge - 1);
        p = static_cast<uint8_t*>(aligned_alloc(huge, rounded ? rounded : huge));
        if (p) madvise(p, rounded, MADV_HUGEPAGE);
    }
    ~Block() { free(p); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;
};

inline uint8_t paeth(int a, int b, int c) {
    int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}

// The filter's output for n bytes of cur with prev the row above (zeros for
// the first row) and bpp bytes a pixel; returns the sum of the outputs seen
// as signed bytes, in absolute value.
template <int Type>
unsigned filterRow(const uint8_t* cur, const uint8_t* prev, size_t n, int bpp, uint8_t* out) {
    for (size_t i = 0; i < n; ++i) {
        int a = i >= size_t(bpp) ? cur[i - bpp] : 0;
        int b = prev[i];
        int c = i >= size_t(bpp) ? prev[i - bpp] : 0;
        int x = cur[i];
        out[i] = uint8_t(Type == 0 ? x : Type == 1 ? x - a : Type == 2 ? x - b : Type == 3 ? x - ((a + b) >> 1)
                                                                                    : x - paeth(a, b, c));
    }
    unsigned sum = 0;
    for (size_t i = 0; i < n; ++i) sum += out[i] < 128 ? out[i] : 256 - out[i];
    return sum;
}

// Filters stored rows [r0, r1) of px into dst (one filter byte and rowBytes
// bytes a row). Reads rows in place when px allows it.
void filterRows(PixelSource* px, int r0, int r1, uint8_t* dst) {
    const int c = px->channels;
    const size_t n = size_t(px->width) * size_t(c);
    const bool inPlace = px->hasRgbx();
    std::vector<uint8_t> packed(2 * n), trial(5 * n);
    uint8_t* cur = packed.data();
    uint8_t* prev = packed.data() + n;
    auto load = [&](int r, uint8_t* to) {
        if (!inPlace) {
            memcpy(to, px->row(r), n);
        } else if (c == 4) {
            memcpy(to, px->rgbxRow(r), n);
        } else {
            const uint8_t* s = px->rgbxRow(r);
            for (int x = 0; x < px->width; ++x, s += 4, to += 3) to[0] = s[0], to[1] = s[1], to[2] = s[2];
        }
    };
    if (r0 > 0)
        load(r0 - 1, prev);
    else
        memset(prev, 0, n);
    for (int r = r0; r < r1; ++r) {
        load(r, cur);
        unsigned score[5] = {filterRow<0>(cur, prev, n, c, &trial[0]), filterRow<1>(cur, prev, n, c, &trial[n]),
                             filterRow<2>(cur, prev, n, c, &trial[2 * n]), filterRow<3>(cur, prev, n, c, &trial[3 * n]),
                             filterRow<4>(cur, prev, n, c, &trial[4 * n])};
        int best = 0;
        for (int t = 1; t < 5; ++t)
            if (score[t] < score[best]) best = t;
        uint8_t* row = dst + size_t(r) * (n + 1);
        row[0] = uint8_t(best);
        memcpy(row + 1, &trial[size_t(best) * n], n);
        std::swap(cur, prev);
    }
}

void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v >> 24), p[1] = uint8_t(v >> 16), p[2] = uint8_t(v >> 8), p[3] = uint8_t(v);
}

bool writeChunk(FILE* out, const char* type, const uint8_t* data, size_t n) {
    uint8_t head[8], tail[4];
    put32(head, uint32_t(n));
    memcpy(head + 4, type, 4);
    uint32_t crc = libdeflate_crc32(0, head + 4, 4);
    if (n) crc = libdeflate_crc32(crc, data, n);  // a null buffer would restart the sum
    put32(tail, crc);
    return fwrite(head, 1, 8, out) == 8 && (n == 0 || fwrite(data, 1, n, out) == n) && fwrite(tail, 1, 4, out) == 4;
}

iflStatus write(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    if (!withinLimits(px.width, px.height) || (px.channels != 3 && px.channels != 4)) {
        err = "unsupported picture for PNG";
        return iflErrBadParams;
    }
    const size_t rowBytes = size_t(px.width) * size_t(px.channels) + 1;
    const size_t filteredBytes = rowBytes * size_t(px.height);
    Block filtered(filteredBytes);
    libdeflate_compressor* z = libdeflate_alloc_compressor(kDeflateLevel);
    const size_t bound = z ? libdeflate_zlib_compress_bound(z, filteredBytes) : 0;
    Block packed(bound);
    if (!filtered.p || !z || !packed.p) {
        if (z) libdeflate_free_compressor(z);
        err = "out of memory";
        return iflErrNoMemory;
    }
    // The bottom half on a second thread when rows can be read concurrently.
    const int split = px.hasRgbx() && px.height >= 64 ? px.height / 2 : px.height;
    std::thread worker;
    bool threaded = split < px.height;
    if (threaded) {
        try {
            worker = std::thread(filterRows, &px, split, px.height, filtered.p);
        } catch (const std::system_error&) {
            threaded = false;
        }
    }
    filterRows(&px, 0, split, filtered.p);
    if (threaded)
        worker.join();
    else if (split < px.height)
        filterRows(&px, split, px.height, filtered.p);
    const size_t n = libdeflate_zlib_compress(z, filtered.p, filteredBytes, packed.p, bound);
    libdeflate_free_compressor(z);
    if (n == 0) {
        err = "cannot compress the picture";
        return iflErrNoMemory;
    }
    uint8_t ihdr[13];
    put32(ihdr, uint32_t(px.width));
    put32(ihdr + 4, uint32_t(px.height));
    ihdr[8] = 8;                               // bits per sample
    ihdr[9] = px.channels == 4 ? 6 : 2;        // RGBA or RGB
    ihdr[10] = ihdr[11] = ihdr[12] = 0;        // deflate, adaptive filtering, no interlace
    bool ok = fwrite(kSignature, 1, 8, out) == 8 && writeChunk(out, "IHDR", ihdr, sizeof ihdr);
    for (size_t at = 0; ok && at < n; at += kIdatBytes) ok = writeChunk(out, "IDAT", packed.p + at, std::min(kIdatBytes, n - at));
    ok = ok && writeChunk(out, "IEND", nullptr, 0);
    if (!ok) {
        err = std::string("cannot write: ") + strerror(errno);
        return iflErrIO;
    }
    return iflSuccess;
}

}  // namespace

const Codec pngCodec = {"PNG", kEndings, sniff, open, write, 4};

}  // namespace ifl0
