// TIFF through libtiff. Reading: the first page of a file held in memory,
// delivered as stored rows (libtiff never reorients them; the core applies
// the Orientation tag). Writing: 8-bit contiguous RGB or RGBA in strips.
#include "codec.h"

#include <tiffio.h>

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <sys/stat.h>
#include <sys/types.h>
#include <vector>

namespace ifl0 {

namespace {

const char* const kEndings[] = {"tif", "tiff", nullptr};

// No single libtiff allocation for one file may exceed this. Large enough for
// one uncompressed strip of the biggest picture the library accepts.
constexpr tmsize_t kMaxSingleAlloc = tmsize_t(2) << 30;
// Tiles bigger than this are refused rather than allocated.
constexpr tmsize_t kMaxTileBytes = tmsize_t(256) << 20;
// Strip files of at least kMinParallelPixels are decoded on two threads,
// when no strip holds more than this.
constexpr int64_t kMaxStripBytes = int64_t(16) << 20;
// Written strips hold at least this many bytes.
constexpr int64_t kStripBytes = 65536;

// Collects libtiff's messages for one handle; nothing is printed.
struct Messages {
    std::string error;    // the first error
    std::string damage;   // the first sign of damaged compressed data while decoding
    std::string cut;      // a tag whose values lie beyond the end of the file
    bool decoding = false;
};

void formatMessage(std::string& to, const char* module, const char* fmt, va_list ap) {
    char buf[512];
    vsnprintf(buf, sizeof buf, fmt, ap);
    try {
        to = module && *module ? std::string(module) + ": " + buf : std::string(buf);
        if (to.empty()) to = "unknown libtiff error";
    } catch (...) {
    }
}

int onError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* m = static_cast<Messages*>(user);
    if (m->error.empty()) formatMessage(m->error, module, fmt, ap);
    return 1;
}

// libjpeg reports truncated or damaged data as warnings and fills the rest
// with grey; such a picture counts as damaged here.
int onWarning(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* m = static_cast<Messages*>(user);
    if (m->decoding && m->damage.empty() && module && strcmp(module, "JPEGLib") == 0)
        formatMessage(m->damage, module, fmt, ap);
    // libtiff drops such a tag and reads on; the file is truncated.
    else if (m->cut.empty() && fmt && strstr(fmt, "IO error during reading"))
        formatMessage(m->cut, module, fmt, ap);
    return 1;
}

// libtiff's process-wide handlers print to stderr; messages without a handle
// (few) are dropped instead.
void silenceGlobalHandlers() {
    static const bool silenced = [] {
        TIFFSetErrorHandler(nullptr);
        TIFFSetWarningHandler(nullptr);
        TIFFSetErrorHandlerExt(nullptr);
        TIFFSetWarningHandlerExt(nullptr);
        return true;
    }();
    (void)silenced;
}

TIFFOpenOptions* makeOptions(Messages& msgs) {
    silenceGlobalHandlers();
    TIFFOpenOptions* o = TIFFOpenOptionsAlloc();
    if (!o) return nullptr;
    TIFFOpenOptionsSetErrorHandlerExtR(o, onError, &msgs);
    TIFFOpenOptionsSetWarningHandlerExtR(o, onWarning, &msgs);
    TIFFOpenOptionsSetMaxSingleMemAlloc(o, kMaxSingleAlloc);
    return o;
}

// ---- Reading -------------------------------------------------------------

struct MemFile {
    const uint8_t* data;
    uint64_t size;
    uint64_t pos;
};

tmsize_t memRead(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<MemFile*>(h);
    if (n <= 0 || m->pos >= m->size) return 0;
    uint64_t k = std::min<uint64_t>(uint64_t(n), m->size - m->pos);
    memcpy(buf, m->data + m->pos, size_t(k));
    m->pos += k;
    return tmsize_t(k);
}

tmsize_t memWrite(thandle_t, void*, tmsize_t) { return -1; }

toff_t memSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<MemFile*>(h);
    uint64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : whence == SEEK_END ? m->size : ~0ull;
    if (base == ~0ull) return toff_t(-1);
    // SEEK_CUR and SEEK_END offsets may be negative, passed as two's complement.
    uint64_t target = base + off;
    if (whence == SEEK_SET)
        target = off;
    else if (int64_t(off) < 0 ? target > base : target < base)
        return toff_t(-1);
    m->pos = target;
    return target;
}

int memClose(thandle_t) { return 0; }
toff_t memSize(thandle_t h) { return static_cast<MemFile*>(h)->size; }

// libtiff reads from a "mapped" file only; the bytes are never written.
int memMap(thandle_t h, void** base, toff_t* size) {
    auto* m = static_cast<MemFile*>(h);
    *base = const_cast<uint8_t*>(m->data);
    *size = m->size;
    return 1;
}
void memUnmap(thandle_t, void*, toff_t) {}

// One libtiff handle over a file's bytes, with its messages. Not movable:
// libtiff keeps pointers to mem and msgs.
struct Handle {
    MemFile mem{};
    Messages msgs;
    TIFF* tif = nullptr;

    Handle() = default;
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (tif) TIFFClose(tif);
    }
    bool open(Bytes in) {
        mem = {in.data, in.size, 0};
        TIFFOpenOptions* o = makeOptions(msgs);
        if (!o) return false;
        tif = TIFFClientOpenExt("", "r", &mem, memRead, memWrite, memSeek, memClose, memSize, memMap, memUnmap,
                                o);
        TIFFOpenOptionsFree(o);
        return tif != nullptr;
    }
    std::string reason(const std::string& fallback) const { return msgs.error.empty() ? fallback : msgs.error; }
};

// What the first page stores, as far as decoding needs it.
struct Page {
    uint32_t width = 0, height = 0;
    uint16_t bps = 1, spp = 1, photometric = 0, planar = PLANARCONFIG_CONTIG, compression = COMPRESSION_NONE;
    uint16_t sampleFormat = SAMPLEFORMAT_UINT, orientation = ORIENTATION_TOPLEFT;
    uint16_t alpha = 0;  // EXTRASAMPLE_ASSOCALPHA, EXTRASAMPLE_UNASSALPHA or 0
    bool tiled = false;
    // Samples read directly (no libtiff colour conversion): contiguous 8- or
    // 16-bit grey or RGB, with or without alpha.
    bool direct = false;
    int colours = 3;  // grey 1, RGB 3 (direct only)
    // 8-bit contiguous CMYK without extra samples, whose ink amounts can be
    // read directly for the colour step; otherwise libtiff converts CMYK.
    bool cmyk = false;
};

bool readPage(TIFF* tif, Page& p, std::string& err) {
    if (!TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &p.width) || !TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &p.height)) {
        err = "no picture size";
        return false;
    }
    TIFFGetFieldDefaulted(tif, TIFFTAG_BITSPERSAMPLE, &p.bps);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLESPERPIXEL, &p.spp);
    TIFFGetFieldDefaulted(tif, TIFFTAG_PLANARCONFIG, &p.planar);
    TIFFGetFieldDefaulted(tif, TIFFTAG_COMPRESSION, &p.compression);
    TIFFGetFieldDefaulted(tif, TIFFTAG_SAMPLEFORMAT, &p.sampleFormat);
    TIFFGetFieldDefaulted(tif, TIFFTAG_ORIENTATION, &p.orientation);
    bool hasPhotometric = TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &p.photometric) == 1;
    uint16_t extras = 0;
    uint16_t* kinds = nullptr;
    TIFFGetFieldDefaulted(tif, TIFFTAG_EXTRASAMPLES, &extras, &kinds);
    if (extras > 0 && kinds && (kinds[0] == EXTRASAMPLE_ASSOCALPHA || kinds[0] == EXTRASAMPLE_UNASSALPHA))
        p.alpha = kinds[0];
    // libtiff takes four RGB samples without ExtraSamples as premultiplied RGBA.
    if (extras == 0 && p.spp == 4 && hasPhotometric && p.photometric == PHOTOMETRIC_RGB)
        p.alpha = EXTRASAMPLE_ASSOCALPHA;
    p.tiled = TIFFIsTiled(tif) != 0;
    p.colours = hasPhotometric && p.photometric == PHOTOMETRIC_RGB ? 3 : 1;
    p.direct = hasPhotometric && p.sampleFormat == SAMPLEFORMAT_UINT && (p.bps == 8 || p.bps == 16) &&
               p.planar == PLANARCONFIG_CONTIG && p.compression != COMPRESSION_OJPEG &&
               (p.photometric == PHOTOMETRIC_RGB || p.photometric == PHOTOMETRIC_MINISBLACK ||
                p.photometric == PHOTOMETRIC_MINISWHITE) &&
               p.spp >= p.colours + (p.alpha ? 1 : 0);
    uint16_t inks = INKSET_CMYK;
    TIFFGetFieldDefaulted(tif, TIFFTAG_INKSET, &inks);
    p.cmyk = hasPhotometric && p.photometric == PHOTOMETRIC_SEPARATED && inks == INKSET_CMYK && p.spp == 4 &&
             extras == 0 && p.bps == 8 && p.sampleFormat == SAMPLEFORMAT_UINT && p.planar == PLANARCONFIG_CONTIG &&
             p.compression != COMPRESSION_OJPEG;
    return true;
}

// Converts n stored pixels of grey or RGB samples (plus alpha) to RGBA.
struct PixelForm {
    int spp = 3, colours = 3;
    bool alpha = false, premultiplied = false, invert = false;
    bool copy = false;  // four 8-bit samples kept as they are (CMYK ink amounts)
};

template <typename T>
void toRgba(const T* s, uint8_t* d, int n, const PixelForm& f) {
    constexpr uint32_t kMax = sizeof(T) == 1 ? 255 : 65535;
    const int g = f.colours == 3 ? 1 : 0;
    for (int i = 0; i < n; ++i, s += f.spp, d += 4) {
        uint32_t c[3] = {s[0], s[g], s[2 * g]};
        uint32_t a = f.alpha ? s[f.colours] : kMax;
        for (uint32_t& v : c) {
            if (f.invert) v = kMax - v;
            if (f.premultiplied && a != kMax) v = a == 0 ? 0 : std::min(kMax, (v * kMax + a / 2) / a);
            if (sizeof(T) != 1) v = (v * 255 + 32767) / 65535;
        }
        if (sizeof(T) != 1) a = (a * 255 + 32767) / 65535;
        d[0] = uint8_t(c[0]), d[1] = uint8_t(c[1]), d[2] = uint8_t(c[2]), d[3] = uint8_t(a);
    }
}

void convert(const void* src, uint8_t* dst, int n, int bps, const PixelForm& f) {
    if (f.copy) {
        memcpy(dst, src, size_t(n) * 4);
        return;
    }
    const bool plain = bps == 8 && !f.alpha && !f.invert;
    if (plain && f.colours == 3 && f.spp == 3) {
        const uint8_t* s = static_cast<const uint8_t*>(src);
        for (int i = 0; i < n; ++i, s += 3, dst += 4) dst[0] = s[0], dst[1] = s[1], dst[2] = s[2], dst[3] = 255;
    } else if (plain && f.colours == 1 && f.spp == 1) {
        const uint8_t* s = static_cast<const uint8_t*>(src);
        for (int i = 0; i < n; ++i, dst += 4) dst[0] = dst[1] = dst[2] = s[i], dst[3] = 255;
    } else if (bps == 8)
        toRgba(static_cast<const uint8_t*>(src), dst, n, f);
    else
        toRgba(static_cast<const uint16_t*>(src), dst, n, f);
}

class TiffReader final : public Reader {
public:
    TiffReader(Bytes in, const Page& page) : in_(in), page_(page) {}
    iflStatus decode(RowSink& sink, std::string& err) override {
        Handle h;
        if (!openForDecoding(h, err)) return iflErrCorrupt;
        if (!page_.direct && !(page_.cmyk && sink.cmyk)) return decodeRgba(h, sink, err);
        return page_.tiled ? decodeTiles(h, sink, err) : decodeStrips(h, sink, err);
    }

private:
    bool openForDecoding(Handle& h, std::string& err) const {
        if (!h.open(in_)) {
            err = h.reason("cannot read the file");
            return false;
        }
        // Messages while reading the directory were not fatal: it opened.
        h.msgs.error.clear();
        h.msgs.decoding = true;
        return true;
    }

    PixelForm form() const {
        PixelForm f;
        f.spp = page_.spp;
        f.colours = page_.colours;
        f.alpha = page_.alpha != 0;
        f.premultiplied = page_.alpha == EXTRASAMPLE_ASSOCALPHA;
        f.invert = page_.photometric == PHOTOMETRIC_MINISWHITE;
        f.copy = page_.cmyk;
        return f;
    }

    // Whether libtiff has reported damage since the last check.
    static bool damaged(const Handle& h, std::string& err) {
        if (!h.msgs.error.empty()) err = h.msgs.error;
        else if (!h.msgs.damage.empty()) err = h.msgs.damage;
        else return false;
        return true;
    }

    iflStatus decodeStrips(Handle& h, RowSink& sink, std::string& err) {
        const int w = int(page_.width), hgt = int(page_.height);
        const int64_t rowBytes = int64_t(w) * page_.spp * (page_.bps / 8);
        if (TIFFScanlineSize64(h.tif) != uint64_t(rowBytes)) {
            err = "unexpected row size";
            return iflErrCorrupt;
        }
        uint32_t rowsPerStrip = 0;
        TIFFGetFieldDefaulted(h.tif, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
        const uint32_t strips = TIFFNumberOfStrips(h.tif);
        if (sink.block && int64_t(w) * hgt >= kMinParallelPixels && strips >= 2 &&
            rowsPerStrip > 0 && rowsPerStrip < uint32_t(hgt) && int64_t(rowsPerStrip) * rowBytes <= kMaxStripBytes &&
            strips == (uint32_t(hgt) + rowsPerStrip - 1) / rowsPerStrip)
            return decodeStripHalves(h, sink, rowsPerStrip, strips, err);
        const PixelForm f = form();
        // Unpremultiplied 8-bit RGBA decodes straight into the row.
        const bool inPlace =
            f.copy || (page_.bps == 8 && page_.spp == 4 && page_.colours == 3 && f.alpha && !f.premultiplied);
        std::vector<uint8_t> scratch(inPlace ? 0 : size_t(rowBytes));
        for (int r = 0; r < hgt; ++r) {
            uint8_t* dst = sink.row(r);
            uint8_t* src = inPlace ? dst : scratch.data();
            if (TIFFReadScanline(h.tif, src, uint32_t(r), 0) < 0 || damaged(h, err)) {
                if (err.empty()) err = h.reason("cannot decode row " + std::to_string(r));
                return iflErrCorrupt;
            }
            if (!inPlace) convert(src, dst, w, page_.bps, f);
            sink.done(r);
        }
        return iflSuccess;
    }

    // Decodes strips [first, last) whole and converts their rows into the sink.
    iflStatus decodeStripRange(Handle& h, RowSink& sink, uint32_t rowsPerStrip, uint32_t first, uint32_t last,
                               std::string& err) {
        const int w = int(page_.width), hgt = int(page_.height);
        const size_t rowBytes = size_t(w) * page_.spp * (page_.bps / 8);
        const PixelForm f = form();
        std::vector<uint8_t> strip(size_t(rowsPerStrip) * rowBytes);
        for (uint32_t s = first; s < last; ++s) {
            const int y = int(s * rowsPerStrip);
            const int n = std::min(int(rowsPerStrip), hgt - y);
            const tmsize_t want = tmsize_t(size_t(n) * rowBytes);
            if (TIFFReadEncodedStrip(h.tif, s, strip.data(), want) != want || damaged(h, err)) {
                if (err.empty()) err = h.reason("cannot decode row " + std::to_string(y));
                return iflErrCorrupt;
            }
            for (int k = 0; k < n; ++k) {
                convert(strip.data() + size_t(k) * rowBytes, sink.row(y + k), w, page_.bps, f);
                sink.done(y + k);
            }
        }
        return iflSuccess;
    }

    // Strips are compressed on their own, so a second thread with a libtiff
    // handle of its own decodes the lower half of them. For a sink whose
    // rows stay put; a damaged upper half is reported before the lower.
    iflStatus decodeStripHalves(Handle& h, RowSink& sink, uint32_t rowsPerStrip, uint32_t strips,
                                std::string& err) {
        const uint32_t mid = strips / 2;
        std::string lowerErr;
        iflStatus lower = iflSuccess;
        iflStatus upper = iflSuccess;
        inParallel([&] { upper = decodeStripRange(h, sink, rowsPerStrip, 0, mid, err); },
                   [&] {
                       Handle h2;
                       if (!openForDecoding(h2, lowerErr))
                           lower = iflErrCorrupt;
                       else
                           lower = decodeStripRange(h2, sink, rowsPerStrip, mid, strips, lowerErr);
                   });
        if (upper != iflSuccess) return upper;
        err = lowerErr;
        return lower;
    }

    iflStatus decodeTiles(Handle& h, RowSink& sink, std::string& err) {
        const int w = int(page_.width), hgt = int(page_.height);
        uint32_t tw = 0, tl = 0;
        TIFFGetField(h.tif, TIFFTAG_TILEWIDTH, &tw);
        TIFFGetField(h.tif, TIFFTAG_TILELENGTH, &tl);
        const tmsize_t tileBytes = TIFFTileSize(h.tif);
        const uint64_t tileRowBytes = TIFFTileRowSize64(h.tif);
        if (tw == 0 || tl == 0 || tileBytes <= 0 || tileBytes > kMaxTileBytes ||
            tileRowBytes != uint64_t(tw) * page_.spp * (page_.bps / 8)) {
            err = tileBytes > kMaxTileBytes ? "tiles too large" : h.reason("bad tile size");
            return tileBytes > kMaxTileBytes ? iflErrUnsupported : iflErrCorrupt;
        }
        const int bandRows = int(std::min<uint32_t>(tl, uint32_t(hgt)));
        const bool persistent = bool(sink.block);
        // Not zeroed: a tile of up to kMaxTileBytes that the file's data cannot
        // fill must not cost that much memory before the read fails.
        std::unique_ptr<uint8_t[]> tile(new uint8_t[size_t(tileBytes)]);
        std::vector<uint8_t> band(persistent ? 0 : size_t(bandRows) * size_t(w) * 4);
        const PixelForm f = form();
        for (int y = 0; y < hgt; y += bandRows) {
            const int n = std::min(bandRows, hgt - y);
            for (int x = 0; x < w; x += int(tw)) {
                const uint32_t t = TIFFComputeTile(h.tif, uint32_t(x), uint32_t(y), 0, 0);
                if (TIFFReadEncodedTile(h.tif, t, tile.get(), tileBytes) < 0 || damaged(h, err)) {
                    if (err.empty()) err = h.reason("cannot decode a tile");
                    return iflErrCorrupt;
                }
                const int cols = std::min(int(tw), w - x);
                for (int k = 0; k < n; ++k) {
                    uint8_t* dst = persistent ? sink.row(y + k) : band.data() + size_t(k) * size_t(w) * 4;
                    convert(tile.get() + size_t(k) * tileRowBytes, dst + size_t(x) * 4, cols, page_.bps, f);
                }
            }
            for (int k = 0; k < n; ++k) {
                if (!persistent) memcpy(sink.row(y + k), band.data() + size_t(k) * size_t(w) * 4, size_t(w) * 4);
                sink.done(y + k);
            }
        }
        return iflSuccess;
    }

    // Everything else goes through libtiff's RGBA conversion, a band of
    // strips or tiles at a time.
    iflStatus decodeRgba(Handle& h, RowSink& sink, std::string& err) {
        char emsg[1024] = "";
        TIFFRGBAImage img;
        memset(&img, 0, sizeof img);
        if (!TIFFRGBAImageBegin(&img, h.tif, 1, emsg)) {
            err = h.msgs.error.empty() ? emsg : h.msgs.error;
            return iflErrUnsupported;
        }
        struct End {
            TIFFRGBAImage* img;
            ~End() { TIFFRGBAImageEnd(img); }
        } end{&img};
        // Asking for the stored orientation turns off all of libtiff's flipping.
        img.req_orientation = img.orientation;
        const int w = int(page_.width), hgt = int(page_.height);
        uint32_t unit = 0;
        if (page_.tiled)
            TIFFGetField(h.tif, TIFFTAG_TILELENGTH, &unit);
        else
            TIFFGetFieldDefaulted(h.tif, TIFFTAG_ROWSPERSTRIP, &unit);
        const int bandRows = int(std::max<uint32_t>(1, std::min<uint32_t>(unit, uint32_t(hgt))));
        std::vector<uint32_t> raster(size_t(bandRows) * size_t(w));
        const bool premultiplied = img.alpha != 0;
        for (int y = 0; y < hgt; y += bandRows) {
            const int n = std::min(bandRows, hgt - y);
            img.row_offset = y;
            img.col_offset = 0;
            if (!TIFFRGBAImageGet(&img, raster.data(), uint32_t(w), uint32_t(n)) || damaged(h, err)) {
                if (err.empty()) err = h.reason("cannot decode the picture");
                return iflErrCorrupt;
            }
            for (int k = 0; k < n; ++k) {
                const uint32_t* s = raster.data() + size_t(k) * size_t(w);
                uint8_t* d = sink.row(y + k);
                for (int i = 0; i < w; ++i, d += 4) {
                    uint32_t px = s[i];
                    uint32_t c[3] = {TIFFGetR(px), TIFFGetG(px), TIFFGetB(px)};
                    uint32_t a = TIFFGetA(px);
                    if (premultiplied && a != 255)
                        for (uint32_t& v : c) v = a == 0 ? 0 : std::min(255u, (v * 255 + a / 2) / a);
                    d[0] = uint8_t(c[0]), d[1] = uint8_t(c[1]), d[2] = uint8_t(c[2]), d[3] = uint8_t(a);
                }
                sink.done(y + k);
            }
        }
        return iflSuccess;
    }

    Bytes in_;
    Page page_;
};

bool sniff(const uint8_t* p, size_t n) {
    if (n < 4) return false;
    return (p[0] == 'I' && p[1] == 'I' && (p[2] == 42 || p[2] == 43) && p[3] == 0) ||
           (p[0] == 'M' && p[1] == 'M' && p[2] == 0 && (p[3] == 42 || p[3] == 43));
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    Handle h;
    if (!h.open(in)) {
        err = h.reason("cannot read the file");
        return iflErrCorrupt;
    }
    Page page;
    if (!readPage(h.tif, page, err)) return iflErrCorrupt;
    if (!h.msgs.cut.empty()) {
        err = "truncated file: " + h.msgs.cut;
        return iflErrCorrupt;
    }
    if (!info.setSize(page.width, page.height)) return iflErrTooLarge;
    // libtiff's conversion would take signed or floating-point samples for unsigned ones.
    if (page.sampleFormat != SAMPLEFORMAT_UINT && page.sampleFormat != SAMPLEFORMAT_VOID) {
        err = "samples that are not unsigned integers are not supported";
        return iflErrUnsupported;
    }
    char emsg[1024] = "";
    if (!page.direct && !TIFFRGBAImageOK(h.tif, emsg)) {
        err = emsg;
        return iflErrUnsupported;
    }
    info.channels = page.alpha ? 4 : 3;
    uint32_t iccBytes = 0;
    const uint8_t* icc = nullptr;
    if (TIFFGetField(h.tif, TIFFTAG_ICCPROFILE, &iccBytes, &icc) && icc) info.icc.assign(icc, icc + iccBytes);
    const bool grey = page.photometric == PHOTOMETRIC_MINISBLACK || page.photometric == PHOTOMETRIC_MINISWHITE;
    info.samples = page.cmyk ? Samples::cmyk : grey ? Samples::grey : Samples::rgb;
    info.orientation = page.orientation >= 1 && page.orientation <= 8 ? iflOrientation(page.orientation)
                                                                      : iflUpperLeft;
    reader.reset(new TiffReader(in, page));
    return iflSuccess;
}

// ---- Writing -------------------------------------------------------------

tmsize_t fileRead(thandle_t h, void* buf, tmsize_t n) {
    return n <= 0 ? 0 : tmsize_t(fread(buf, 1, size_t(n), static_cast<FILE*>(h)));
}
tmsize_t fileWrite(thandle_t h, void* buf, tmsize_t n) {
    return n <= 0 ? 0 : tmsize_t(fwrite(buf, 1, size_t(n), static_cast<FILE*>(h)));
}
toff_t fileSeek(thandle_t h, toff_t off, int whence) {
    FILE* f = static_cast<FILE*>(h);
    if (fseeko(f, off_t(off), whence) != 0) return toff_t(-1);
    off_t at = ftello(f);
    return at < 0 ? toff_t(-1) : toff_t(at);
}
// The core owns the stream and closes it.
int fileClose(thandle_t) { return 0; }
toff_t fileSize(thandle_t h) {
    FILE* f = static_cast<FILE*>(h);
    struct stat st;
    if (fflush(f) != 0 || fstat(fileno(f), &st) != 0) return 0;
    return toff_t(st.st_size);
}
int fileNoMap(thandle_t, void**, toff_t*) { return 0; }
void fileNoUnmap(thandle_t, void*, toff_t) {}

struct Compression {
    uint16_t scheme;
    bool predictor;
};

bool pickCompression(iflCompression c, int channels, Compression& out, std::string& err) {
    switch (c) {
    case iflCompressionDefault:
    case iflLZW: out = {COMPRESSION_LZW, true}; return true;
    case iflDeflate: out = {COMPRESSION_ADOBE_DEFLATE, true}; return true;
    case iflPackBits: out = {COMPRESSION_PACKBITS, false}; return true;
    case iflNoCompression: out = {COMPRESSION_NONE, false}; return true;
    case iflJPEGCompression:
        if (channels == 3) {
            out = {COMPRESSION_JPEG, false};
            return true;
        }
        err = "JPEG compression cannot store alpha";
        return false;
    }
    err = "unknown compression";
    return false;
}

iflStatus writeStrips(TIFF* tif, PixelSource& px, const Compression& comp, std::string& err) {
    const int w = px.width, h = px.height, c = px.channels;
    const int64_t rowBytes = int64_t(w) * c;
    int64_t rps = std::max<int64_t>(1, (kStripBytes + rowBytes - 1) / rowBytes);
    if (comp.scheme == COMPRESSION_JPEG) rps = (rps + 15) / 16 * 16;  // whole 2x2-subsampled MCU rows
    rps = std::min<int64_t>(rps, h);
    bool ok = TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, uint32_t(w)) && TIFFSetField(tif, TIFFTAG_IMAGELENGTH, uint32_t(h)) &&
              TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 8) && TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, c) &&
              TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG) &&
              TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT) &&
              TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, uint32_t(rps)) &&
              TIFFSetField(tif, TIFFTAG_COMPRESSION, comp.scheme);
    if (ok && c == 4) {
        uint16_t kind = EXTRASAMPLE_UNASSALPHA;
        ok = TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &kind);
    }
    if (ok && comp.scheme == COMPRESSION_JPEG) {
        ok = TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_YCBCR) &&
             TIFFSetField(tif, TIFFTAG_YCBCRSUBSAMPLING, 2, 2) && TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 90) &&
             TIFFSetField(tif, TIFFTAG_JPEGCOLORMODE, JPEGCOLORMODE_RGB);
    } else if (ok) {
        ok = TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB) &&
             (!comp.predictor || TIFFSetField(tif, TIFFTAG_PREDICTOR, PREDICTOR_HORIZONTAL));
    }
    if (!ok) {
        err = "cannot set up the file";
        return iflErrIO;
    }
    // libtiff's encoders may change the rows they are given (the predictor
    // works in place), so rows are gathered into a strip of our own.
    std::vector<uint8_t> strip(size_t(rps * rowBytes));
    const bool rgba = c == 4 && px.rgbx;
    for (int y = 0, s = 0; y < h; y += int(rps), ++s) {
        const int n = int(std::min<int64_t>(rps, h - y));
        for (int k = 0; k < n; ++k)
            memcpy(strip.data() + size_t(k) * size_t(rowBytes), rgba ? px.rgbx.row(y + k) : px.row(y + k),
                   size_t(rowBytes));
        if (TIFFWriteEncodedStrip(tif, uint32_t(s), strip.data(), tmsize_t(n * rowBytes)) < 0) {
            err = "cannot write strip " + std::to_string(s);
            return iflErrIO;
        }
    }
    if (!TIFFFlush(tif)) {
        err = "cannot write the directory";
        return iflErrIO;
    }
    return iflSuccess;
}

iflStatus write(FILE* out, PixelSource& px, const WriteOptions& opts, std::string& err) {
    Compression comp{};
    if (!pickCompression(opts.compression, px.channels, comp, err)) return iflErrUnsupported;
    Messages msgs;
    TIFFOpenOptions* o = makeOptions(msgs);
    if (!o) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    TIFF* tif = TIFFClientOpenExt("", "w", out, fileRead, fileWrite, fileSeek, fileClose, fileSize, fileNoMap,
                                  fileNoUnmap, o);
    TIFFOpenOptionsFree(o);
    if (!tif) {
        err = msgs.error.empty() ? "cannot start the file" : msgs.error;
        return iflErrIO;
    }
    iflStatus st;
    try {
        st = writeStrips(tif, px, comp, err);
    } catch (...) {
        TIFFCleanup(tif);
        throw;
    }
    if (st != iflSuccess && !msgs.error.empty()) err = msgs.error;
    if (st == iflSuccess) {
        TIFFClose(tif);
    } else {
        TIFFCleanup(tif);  // frees without writing anything more
    }
    return st;
}

}  // namespace

const Codec tiffCodec = {"TIFF", kEndings, sniff, open, write, 4, ~(1u << iflJPEGCompression)};

}  // namespace ifl0
