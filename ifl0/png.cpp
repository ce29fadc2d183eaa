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
#include <vector>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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
    bool grey = false;
    // 8-bit RGB without tRNS or 8-bit RGBA, not interlaced: rows that need
    // nothing but unfiltering, which decodePlain does without libpng.
    bool plain = false;
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
    h->grey = !(type & PNG_COLOR_MASK_COLOR);
    h->plain = png_get_bit_depth(s->png, s->info) == 8 && h->interlace == PNG_INTERLACE_NONE &&
               (type == PNG_COLOR_TYPE_RGB_ALPHA || (type == PNG_COLOR_TYPE_RGB && !h->alpha));
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

inline uint8_t paeth(int a, int b, int c) {
    int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
    return uint8_t(pa <= pb && pa <= pc ? a : pb <= pc ? b : c);
}


#ifdef __SSE2__
// Sub, Average and Paeth depend on the pixel to the left, so they run a
// pixel at a time; each pixel's bpp bytes go through SSE2 together as
// 16-bit lanes (the scheme libpng uses for the same filters).
// Reads a pixel's bytes; Wide reads 4 even for 3-byte pixels (the fourth
// lane is ignored), which the caller allows for every pixel but the last.
template <size_t Bpp, bool Wide = true>
inline __m128i loadPixel(const uint8_t* p) {
    uint32_t v = 0;
    memcpy(&v, p, Wide ? 4 : Bpp);
    return _mm_unpacklo_epi8(_mm_cvtsi32_si128(int(v)), _mm_setzero_si128());
}

template <size_t Bpp>
inline void storePixel(uint8_t* p, __m128i v) {
    uint32_t w = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(v, v)));
    memcpy(p, &w, Bpp);
}

inline __m128i abs16(__m128i x) { return _mm_max_epi16(x, _mm_sub_epi16(_mm_setzero_si128(), x)); }

inline __m128i select16(__m128i mask, __m128i yes, __m128i no) {
    return _mm_or_si128(_mm_and_si128(mask, yes), _mm_andnot_si128(mask, no));
}

// The PNG filter's prediction from the left (a), upper (b) and upper-left
// (c) samples, as 16-bit lanes.
template <int Type>
__m128i predict(__m128i a, __m128i b, __m128i c) {
    if (Type == 0) return _mm_setzero_si128();
    if (Type == 1) return a;
    if (Type == 2) return b;
    if (Type == 3) return _mm_srli_epi16(_mm_add_epi16(a, b), 1);
    __m128i pa = abs16(_mm_sub_epi16(b, c));
    __m128i pb = abs16(_mm_sub_epi16(a, c));
    __m128i pc = abs16(_mm_sub_epi16(_mm_add_epi16(a, b), _mm_add_epi16(c, c)));
    __m128i least = _mm_min_epi16(pc, _mm_min_epi16(pa, pb));
    return select16(_mm_cmpeq_epi16(least, pa), a, select16(_mm_cmpeq_epi16(least, pb), b, c));
}

template <int Type, size_t Bpp>
void unfilterPixels(uint8_t* cur, const uint8_t* prev, size_t n) {
    const __m128i low = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128();
    for (size_t i = 0; i < n; i += Bpp) {
        const bool last = i + Bpp == n;
        __m128i x = last ? loadPixel<Bpp, false>(cur + i) : loadPixel<Bpp>(cur + i);
        __m128i b = last ? loadPixel<Bpp, false>(prev + i) : loadPixel<Bpp>(prev + i);
        a = _mm_and_si128(_mm_add_epi16(x, predict<Type>(a, b, c)), low);
        c = b;
        storePixel<Bpp>(cur + i, a);
    }
}

// Unfilters a row of w RGB pixels at cur into RGBA pixels at out (alpha
// 255), prev the row above as RGBA (null for the first row). out may lie
// below cur in the same block as long as it never passes the pixel being
// read: each pixel is read before its RGBA result is stored.
template <int Type>
void unfilterRgbToRgba(const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t w) {
    const __m128i low = _mm_set1_epi16(0xFF);
    __m128i a = _mm_setzero_si128(), c = _mm_setzero_si128(), b = _mm_setzero_si128();
    for (size_t x = 0; x < w; ++x) {
        __m128i v = x + 1 < w ? loadPixel<3>(cur + 3 * x) : loadPixel<3, false>(cur + 3 * x);
        if (prev) b = loadPixel<4>(prev + 4 * x);
        a = _mm_and_si128(_mm_add_epi16(v, predict<Type>(a, b, c)), low);
        c = b;
        uint32_t px = uint32_t(_mm_cvtsi128_si32(_mm_packus_epi16(a, a))) | 0xFF000000u;
        memcpy(out + 4 * x, &px, 4);
    }
}

void unfilterRgbToRgba(int type, const uint8_t* cur, const uint8_t* prev, uint8_t* out, size_t w) {
    switch (type) {
    case 0: unfilterRgbToRgba<0>(cur, prev, out, w); break;
    case 1: unfilterRgbToRgba<1>(cur, prev, out, w); break;
    case 2: unfilterRgbToRgba<2>(cur, prev, out, w); break;
    case 3: unfilterRgbToRgba<3>(cur, prev, out, w); break;
    default: unfilterRgbToRgba<4>(cur, prev, out, w); break;
    }
}

template <size_t Bpp>
void unfilterPixels(int type, uint8_t* cur, const uint8_t* prev, size_t n) {
    if (type == 1)
        unfilterPixels<1, Bpp>(cur, prev, n);
    else if (type == 3)
        unfilterPixels<3, Bpp>(cur, prev, n);
    else
        unfilterPixels<4, Bpp>(cur, prev, n);
}
#endif

// Undoes the filter of one row of n bytes in place, prev the row above
// already unfiltered (zeros for the first row), bpp bytes a pixel.
void unfilter(int type, uint8_t* cur, const uint8_t* prev, size_t n, size_t bpp) {
#ifdef __SSE2__
    if ((type == 1 || type == 3 || type == 4) && (bpp == 3 || bpp == 4)) {
        if (bpp == 3)
            unfilterPixels<3>(type, cur, prev, n);
        else
            unfilterPixels<4>(type, cur, prev, n);
        return;
    }
#endif
    switch (type) {
    case 1:
        for (size_t i = bpp; i < n; ++i) cur[i] = uint8_t(cur[i] + cur[i - bpp]);
        break;
    case 2:
        for (size_t i = 0; i < n; ++i) cur[i] = uint8_t(cur[i] + prev[i]);
        break;
    case 3:
        for (size_t i = 0; i < bpp; ++i) cur[i] = uint8_t(cur[i] + (prev[i] >> 1));
        for (size_t i = bpp; i < n; ++i) cur[i] = uint8_t(cur[i] + ((cur[i - bpp] + prev[i]) >> 1));
        break;
    case 4:
        for (size_t i = 0; i < bpp; ++i) cur[i] = uint8_t(cur[i] + prev[i]);
        for (size_t i = bpp; i < n; ++i) cur[i] = uint8_t(cur[i] + paeth(cur[i - bpp], prev[i], prev[i - bpp]));
        break;
    default:
        break;
    }
}

enum class Plain { done, failed, useLibpng };

// Decodes a plain file (Header::plain) without libpng: checks every chunk's
// length and CRC, inflates all IDAT data with libdeflate in one call into
// a buffer of exactly the filtered rows' size, and unfilters each row into
// the sink. Files with chunks it does not know how to judge go to libpng.
Plain decodePlain(Bytes in, const Header& h, RowSink& sink, std::string& err, iflStatus& status) {
    status = iflErrCorrupt;
    const size_t c = h.alpha ? 4 : 3;
    const size_t rowBytes = size_t(h.width) * c;
    const size_t filteredBytes = (rowBytes + 1) * size_t(h.height);
    // Find the IDAT chunks, checking each chunk on the way.
    std::vector<std::pair<size_t, size_t>> idat;
    size_t idatBytes = 0;
    size_t pos = 8;
    bool ended = false;
    while (!ended) {
        if (in.size - pos < 12) {
            err = "the file is truncated";
            return Plain::failed;
        }
        const size_t len = be32(in.data + pos);
        const uint8_t* type = in.data + pos + 4;
        if (len > 0x7FFFFFFFu || in.size - pos - 12 < len) {
            err = len > 0x7FFFFFFFu ? "invalid chunk length" : "the file is truncated";
            return Plain::failed;
        }
        const bool critical = !(type[0] & 0x20);
        if (critical && libdeflate_crc32(0, type, len + 4) != be32(type + 4 + len)) {
            err = std::string(reinterpret_cast<const char*>(type), 4) + ": CRC error";
            return Plain::failed;
        }
        if (memcmp(type, "IDAT", 4) == 0) {
            idat.emplace_back(pos + 8, len);
            idatBytes += len;
        } else if (memcmp(type, "IEND", 4) == 0) {
            ended = true;
        } else if (critical && memcmp(type, "IHDR", 4) != 0 && memcmp(type, "PLTE", 4) != 0) {
            return Plain::useLibpng;
        }
        pos += 12 + len;
    }
    if (idat.empty()) {
        err = "no image data";
        return Plain::failed;
    }
    // An RGB picture whose rows form one block is inflated into that block's
    // tail (the filtered rows are smaller than the RGBA ones) and unfiltered
    // from there into the rows, top down, without a buffer of its own.
    bool intoBlock = false;
    uint8_t* block = sink.block.base;
#ifdef __SSE2__
    intoBlock = c == 3 && sink.block && sink.block.stride == ptrdiff_t(h.width) * 4 && h.width > 1;
#endif
    // One run of compressed bytes: in place when there is one IDAT chunk.
    const uint8_t* zdata = in.data + idat[0].first;
    BlockPtr joined(idat.size() > 1 ? allocateBlock(idatBytes) : nullptr);
    if (idat.size() > 1) {
        if (!joined) {
            status = iflErrNoMemory, err = "out of memory";
            return Plain::failed;
        }
        size_t at = 0;
        for (const auto& span : idat) {
            memcpy(joined.get() + at, in.data + span.first, span.second);
            at += span.second;
        }
        zdata = joined.get();
    }
    BlockPtr rows(intoBlock ? nullptr : allocateBlock(filteredBytes));
    uint8_t* filtered = intoBlock ? block + size_t(h.width) * size_t(h.height) * 4 - filteredBytes : rows.get();
    libdeflate_decompressor* z = libdeflate_alloc_decompressor();
    if (!filtered || !z) {
        if (z) libdeflate_free_decompressor(z);
        status = iflErrNoMemory, err = "out of memory";
        return Plain::failed;
    }
    libdeflate_result r = libdeflate_zlib_decompress(z, zdata, idatBytes, filtered, filteredBytes, nullptr);
    libdeflate_free_decompressor(z);
    if (r != LIBDEFLATE_SUCCESS) {
        err = r == LIBDEFLATE_SHORT_OUTPUT ? "not enough image data" : "damaged compressed image data";
        return Plain::failed;
    }
    std::vector<uint8_t> zeros(rowBytes, 0);
    const uint8_t* prev = zeros.data();
    for (size_t y = 0; y < h.height; ++y) {
        uint8_t* line = filtered + y * (rowBytes + 1);
        if (line[0] > 4) {
            err = "bad filter type " + std::to_string(line[0]);
            return Plain::failed;
        }
#ifdef __SSE2__
        if (intoBlock) {
            uint8_t* out = block + y * size_t(h.width) * 4;
            unfilterRgbToRgba(line[0], line + 1, y ? out - size_t(h.width) * 4 : nullptr, out, h.width);
            // The row above served as this one's prediction: only now is it
            // the sink's, to map or convert.
            if (y) sink.done(int(y - 1));
            if (y + 1 == h.height) sink.done(int(y));
            continue;
        }
#endif
        unfilter(line[0], line + 1, prev, rowBytes, c);
        prev = line + 1;
        uint8_t* out = sink.row(int(y));
        if (c == 4) {
            memcpy(out, line + 1, rowBytes);
        } else {
            const uint8_t* s = line + 1;
            for (size_t x = 0; x < h.width; ++x, s += 3, out += 4)
                out[0] = s[0], out[1] = s[1], out[2] = s[2], out[3] = 255;
        }
        sink.done(int(y));
    }
    status = iflSuccess;
    return Plain::done;
}

class PngReader final : public Reader {
public:
    PngReader(Bytes in, const Header& h) : in_(in), header_(h) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        if (header_.plain) {
            iflStatus st;
            Plain p = decodePlain(in_, header_, sink, err, st);
            if (p != Plain::useLibpng) return st;
            err.clear();
        }
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
            bool direct = bool(sink.block);
            if (!direct) picture_.resize(w * ht * 4);
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

// The profile of the iCCP chunk before the image data, inflated; empty when
// there is none. An sRGB chunk needs nothing: pictures are sRGB unless a
// profile says otherwise. A profile that does not inflate is handed over as
// stored, so that the core reports it as unreadable.
std::vector<uint8_t> iccProfile(Bytes in) {
    constexpr size_t kMaxProfile = size_t(64) << 20;
    for (size_t pos = 8; in.size - pos >= 12;) {
        const size_t len = be32(in.data + pos);
        const uint8_t* type = in.data + pos + 4;
        if (len > in.size - pos - 12 || memcmp(type, "IDAT", 4) == 0) break;
        if (memcmp(type, "iCCP", 4) != 0) {
            pos += 12 + len;
            continue;
        }
        const uint8_t* data = type + 4;
#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
        if (libdeflate_crc32(0, type, len + 4) != be32(data + len)) break;  // ignored, as libpng does
#endif
        const uint8_t* name = static_cast<const uint8_t*>(memchr(data, 0, std::min<size_t>(len, 80)));
        if (!name || size_t(name - data) + 2 > len) break;
        const uint8_t* z = name + 2;  // after the name's end and the compression method
        const size_t zlen = len - size_t(z - data);
        std::unique_ptr<libdeflate_decompressor, void (*)(libdeflate_decompressor*)> d(
            libdeflate_alloc_decompressor(), libdeflate_free_decompressor);
        std::vector<uint8_t> icc(65536);
        for (; d && icc.size() <= kMaxProfile; icc.resize(icc.size() * 4)) {
            size_t got = 0;
            libdeflate_result r = libdeflate_zlib_decompress(d.get(), z, zlen, icc.data(), icc.size(), &got);
            if (r == LIBDEFLATE_SUCCESS) {
                icc.resize(got);
                return icc;
            }
            if (r != LIBDEFLATE_INSUFFICIENT_SPACE) break;
        }
        return std::vector<uint8_t>(z, z + zlen);
    }
    return {};
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    // The size in IHDR first, so an oversized picture is named as such
    // rather than as whatever libpng's own limit check says.
    if (in.size >= 24 && memcmp(in.data + 12, "IHDR", 4) == 0) {
        uint32_t w = be32(in.data + 16), h = be32(in.data + 20);
        if (w > 0 && h > 0 && !info.setSize(w, h)) return iflErrTooLarge;
    }
    // libpng allocates a text chunk's declared length before it reads the
    // chunk: one before the pixel data that runs past the end of the file
    // is refused here, as the read would refuse it, but without the memory.
    for (size_t at = 8; at + 8 <= in.size && memcmp(in.data + at + 4, "IDAT", 4) != 0;) {
        const uint32_t length = be32(in.data + at);
        if (length > in.size - at - 8) {
            err = "the file is truncated";
            return iflErrCorrupt;
        }
        at += 12 + size_t(length);
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
    info.channels = h.alpha ? 4 : 3;
    if (!info.setSize(h.width, h.height)) return iflErrTooLarge;
    info.orientation = iflUpperLeft;
    info.icc = iccProfile(in);
    info.samples = h.grey ? Samples::grey : Samples::rgb;
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
    const bool inPlace = bool(px->rgbx);
    std::vector<uint8_t> packed(2 * n), trial(5 * n);
    uint8_t* cur = packed.data();
    uint8_t* prev = packed.data() + n;
    auto load = [&](int r, uint8_t* to) {
        if (!inPlace) {
            memcpy(to, px->row(r), n);
        } else if (c == 4) {
            memcpy(to, px->rgbx.row(r), n);
        } else {
            const uint8_t* s = px->rgbx.row(r);
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
    if (px.channels != 3 && px.channels != 4) {
        err = "unsupported picture for PNG";
        return iflErrBadParams;
    }
    const size_t rowBytes = size_t(px.width) * size_t(px.channels) + 1;
    const size_t filteredBytes = rowBytes * size_t(px.height);
    BlockPtr filtered(allocateBlock(filteredBytes));
    std::unique_ptr<libdeflate_compressor, void (*)(libdeflate_compressor*)> z(
        libdeflate_alloc_compressor(kDeflateLevel), libdeflate_free_compressor);
    const size_t bound = z ? libdeflate_zlib_compress_bound(z.get(), filteredBytes) : 0;
    BlockPtr packed(allocateBlock(bound));
    if (!filtered || !z || !packed) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    // The bottom half on a second thread when rows can be read concurrently.
    if (px.rgbx && px.height >= 64)
        inParallel([&] { filterRows(&px, 0, px.height / 2, filtered.get()); },
                   [&] { filterRows(&px, px.height / 2, px.height, filtered.get()); });
    else
        filterRows(&px, 0, px.height, filtered.get());
    const size_t n = libdeflate_zlib_compress(z.get(), filtered.get(), filteredBytes, packed.get(), bound);
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
    for (size_t at = 0; ok && at < n; at += kIdatBytes) ok = writeChunk(out, "IDAT", packed.get() + at, std::min(kIdatBytes, n - at));
    ok = ok && writeChunk(out, "IEND", nullptr, 0);
    if (!ok) {
        err = std::string("cannot write: ") + strerror(errno);
        return iflErrIO;
    }
    return iflSuccess;
}

}  // namespace

const Codec pngCodec = {"PNG", kEndings, sniff, open, write, 4, kAllLossless};

}  // namespace ifl0
