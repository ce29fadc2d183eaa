// BMP: reads the core (12-byte) and the 40, 52, 56, 108 and 124-byte info
// headers with 1, 4, 8, 16, 24 and 32 bits per pixel, bit-field masks and
// RLE4/RLE8; writes 24-bit RGB or 32-bit RGBA with bit fields. Format
// reference: the Windows GDI documentation of BITMAPINFOHEADER and its
// V4/V5 successors, and BITMAPCOREHEADER.
#include "codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ifl0 {

namespace {

enum Compression : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitfields = 3, kJpeg = 4, kPng = 5, kAlphaBitfields = 6 };

constexpr size_t kFileHeader = 14;

// One channel's bit-field mask: value = (pixel & mask) >> shift, scaled
// from 0..max to 0..255. A zero mask reads as 0.
struct Field {
    uint32_t mask = 0;
    int shift = 0;
    uint32_t max = 0;

    explicit Field(uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        max = m >> shift;
    }
    uint8_t get(uint32_t px) const {
        if (!max) return 0;
        uint32_t v = (px & mask) >> shift;
        if (max == 255) return uint8_t(v);
        return uint8_t((uint64_t(v) * 255 + max / 2) / max);
    }
};

struct Layout {
    int width = 0, height = 0;  // stored size; height positive
    bool topDown = false;
    int bpp = 0;
    uint32_t compression = kRgb;
    Field r, g, b, a;
    bool alpha = false;
    uint8_t palette[256][4];  // RGBA; entries beyond the file's palette are black
    unsigned colours = 0;     // palette entries the file holds; higher indices are corrupt
    size_t dataOffset = 0;
    size_t stride = 0;  // bytes per stored row, uncompressed
    // An icon's bitmap: its 1-bit mask (set bits transparent), rows of
    // maskStride bytes from maskOffset; absent (0) only where it may be.
    bool icon = false;
    size_t maskOffset = 0;
    size_t maskStride = 0;
};

iflStatus corrupt(std::string& err, const std::string& why) {
    err = why;
    return iflErrCorrupt;
}

iflStatus unsupported(std::string& err, const std::string& why) {
    err = why;
    return iflErrUnsupported;
}

iflStatus beyondPalette(std::string& err, unsigned index, unsigned colours) {
    return corrupt(err, "palette index " + std::to_string(index) + " beyond the palette of " +
                            std::to_string(colours) + (colours == 1 ? " colour" : " colours"));
}

const char* const kOverrun = "run-length data overruns the row";

class BmpReader final : public Reader {
public:
    BmpReader(Bytes in, const Layout& l) : in_(in), l_(l) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        if (l_.compression == kRle8 || l_.compression == kRle4) return decodeRle(sink, err);
        const uint8_t* base = in_.data + l_.dataOffset;
        // Only a palette shorter than the depth allows needs its indices checked.
        const bool check = l_.bpp <= 8 && l_.colours < (1u << l_.bpp);
        const IconAlpha iconAlpha = l_.icon ? chooseIconAlpha() : IconAlpha::none;
        for (int r = 0; r < l_.height; ++r) {
            // open() checked that every row lies inside the file.
            const uint8_t* p = base + size_t(r) * l_.stride;
            uint8_t* o = sink.row(r);
            unsigned top = convertRow(p, o);
            if (check && top >= l_.colours) return beyondPalette(err, firstBeyond(p), l_.colours);
            if (iconAlpha == IconAlpha::mask) applyMask(r, o);
            if (iconAlpha == IconAlpha::opaque)
                for (int x = 0; x < l_.width; ++x) o[4 * x + 3] = 255;
            sink.done(r);
        }
        return iflSuccess;
    }

private:
    // How an icon's bitmap gets its alpha: from its own alpha bytes when
    // any is non-zero, else from the mask, else (a 32-bit bitmap without a
    // mask) opaque.
    enum class IconAlpha { none, mask, opaque };

    IconAlpha chooseIconAlpha() const {
        if (l_.alpha) {
            for (int r = 0; r < l_.height; ++r) {
                const uint8_t* p = in_.data + l_.dataOffset + size_t(r) * l_.stride;
                for (int x = 0; x < l_.width; ++x)
                    if (l_.a.get(l_.bpp == 16 ? le16(p + 2 * x) : le32(p + 4 * x))) return IconAlpha::none;
            }
        }
        return l_.maskStride ? IconAlpha::mask : IconAlpha::opaque;
    }

    void applyMask(int r, uint8_t* o) const {
        const uint8_t* m = in_.data + l_.maskOffset + size_t(r) * l_.maskStride;
        for (int x = 0; x < l_.width; ++x) o[4 * x + 3] = (m[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 255;
    }

    // Palette index x of a stored 1, 4 or 8-bit row.
    unsigned index(const uint8_t* p, int x) const {
        const int per = 8 / l_.bpp;
        return (p[x / per] >> (8 - l_.bpp * (x % per + 1))) & ((1u << l_.bpp) - 1);
    }

    unsigned firstBeyond(const uint8_t* p) const {
        for (int x = 0; x < l_.width; ++x)
            if (index(p, x) >= l_.colours) return index(p, x);
        return 0;
    }

    // Converts one stored row; for palette data returns the highest index
    // in it, found along the way rather than with a branch per pixel.
    unsigned convertRow(const uint8_t* p, uint8_t* o) const {
        const int w = l_.width;
        const auto& pal = l_.palette;
        uint8_t m = 0;
        switch (l_.bpp) {
        case 1:
            for (int x = 0; x < w; ++x, o += 4) {
                uint8_t v = (p[x / 8] >> (7 - x % 8)) & 1;
                m |= v;
                memcpy(o, pal[v], 4);
            }
            break;
        case 4:
            for (int i = 0; i < w / 2; ++i, o += 8) {
                uint8_t hi = p[i] >> 4, lo = p[i] & 15;
                m = std::max(m, std::max(hi, lo));
                memcpy(o, pal[hi], 4);
                memcpy(o + 4, pal[lo], 4);
            }
            if (w & 1) {
                m = std::max(m, uint8_t(p[w / 2] >> 4));
                memcpy(o, pal[p[w / 2] >> 4], 4);
            }
            break;
        case 8:
            for (int x = 0; x < w; ++x, o += 4) {
                m = std::max(m, p[x]);
                memcpy(o, pal[p[x]], 4);
            }
            break;
        case 24:
            for (int x = 0; x < w; ++x, o += 4, p += 3) o[0] = p[2], o[1] = p[1], o[2] = p[0], o[3] = 255;
            break;
        case 16:
        case 32: {
            const int step = l_.bpp / 8;
            for (int x = 0; x < w; ++x, o += 4, p += step) {
                uint32_t v = step == 2 ? le16(p) : le32(p);
                o[0] = l_.r.get(v), o[1] = l_.g.get(v), o[2] = l_.b.get(v);
                o[3] = l_.alpha ? l_.a.get(v) : 255;
            }
            break;
        }
        }
        return m;
    }

    // Run-length data writes palette indices into one stored row at a time;
    // it only ever moves right or on to later rows, so each finished row
    // goes to the sink in order. Pixels never written are index 0. Runs
    // and deltas stay inside the stored row, which includes the padding to
    // 4 bytes that some encoders compress along with the pixels, and
    // inside the picture; every index written lies in the file's palette.
    // Each is checked once per run.
    iflStatus decodeRle(RowSink& sink, std::string& err) {
        const int w = l_.width, h = l_.height;
        const bool four = l_.compression == kRle4;
        const int span = int(l_.stride * 8 / size_t(l_.bpp));  // pixels in the padded row
        const unsigned colours = l_.colours;
        const bool shortPalette = colours < (four ? 16u : 256u);
        std::vector<uint8_t> idx(size_t(span), 0);
        const uint8_t* p = in_.data + l_.dataOffset;
        const uint8_t* end = in_.data + in_.size;
        int x = 0, y = 0;
        auto flush = [&]() {
            uint8_t* o = sink.row(y);
            for (int i = 0; i < w; ++i) memcpy(o + 4 * i, l_.palette[idx[size_t(i)]], 4);
            sink.done(y);
            std::fill(idx.begin(), idx.end(), 0);
            ++y;
            x = 0;
        };
        while (y < h) {
            if (end - p < 2) return corrupt(err, "truncated run-length data");
            unsigned n = p[0], v = p[1];
            p += 2;
            if (n > 0) {
                if (n > unsigned(span - x)) return corrupt(err, kOverrun);
                if (four) {
                    // One pixel uses only the high nibble.
                    unsigned hi = v >> 4, lo = n > 1 ? v & 15 : 0;
                    if (std::max(hi, lo) >= colours) return beyondPalette(err, hi >= colours ? hi : lo, colours);
                    for (unsigned i = 0; i < n; ++i, ++x) idx[size_t(x)] = uint8_t(i & 1 ? lo : hi);
                } else {
                    if (v >= colours) return beyondPalette(err, v, colours);
                    memset(&idx[size_t(x)], int(v), n);
                    x += int(n);
                }
                continue;
            }
            if (v == 0) {
                flush();
            } else if (v == 1) {
                while (y < h) flush();
            } else if (v == 2) {
                if (end - p < 2) return corrupt(err, "truncated run-length data");
                unsigned dx = p[0], dy = p[1];
                p += 2;
                if (dx > unsigned(span - x)) return corrupt(err, "run-length delta moves past the row");
                if (dy >= unsigned(h - y)) return corrupt(err, "run-length delta moves past the picture");
                const int nx = x + int(dx);
                for (unsigned i = 0; i < dy; ++i) flush();
                x = nx;
            } else {
                const size_t used = four ? (v + 1) / 2 : v;
                if (size_t(end - p) < used) return corrupt(err, "truncated run-length data");
                if (v > unsigned(span - x)) return corrupt(err, kOverrun);
                uint8_t* o = &idx[size_t(x)];
                if (four) {
                    for (unsigned i = 0; i < v; ++i) o[i] = uint8_t(i & 1 ? p[i / 2] & 15 : p[i / 2] >> 4);
                } else {
                    memcpy(o, p, v);
                }
                if (shortPalette) {
                    unsigned m = 0;
                    for (unsigned i = 0; i < v; ++i) m = std::max<unsigned>(m, o[i]);
                    if (m >= colours) return beyondPalette(err, *std::find_if(o, o + v, [&](uint8_t i) {
                        return i >= colours;
                    }), colours);
                }
                x += int(v);
                const size_t bytes = used + (used & 1);  // absolute runs end on a 16-bit boundary
                p += std::min(bytes, size_t(end - p));
            }
        }
        return iflSuccess;
    }

    Bytes in_;
    Layout l_;
};

bool sniff(const uint8_t* p, size_t n) { return n >= 2 && p[0] == 'B' && p[1] == 'M'; }

// Reads the info header at `at` and what follows it: the masks, the
// palette and the pixel data at `offset`. An icon's bitmap has no file
// header: its info header counts the picture's rows twice (colours, then
// mask), and its data follows its palette.
iflStatus openBitmap(Bytes in, size_t at, size_t offset, bool icon, Info& info, std::unique_ptr<Reader>& reader,
                     std::string& err) {
    const uint8_t* d = in.data;
    const size_t n = in.size;
    if (n < at + 4) return corrupt(err, "truncated header");
    const uint32_t hsize = le32(d + at);
    if (hsize != 12 && hsize != 40 && hsize != 52 && hsize != 56 && hsize != 108 && hsize != 124)
        return unsupported(err, "info header of " + std::to_string(hsize) + " bytes is not supported");
    if (n - at < hsize) return corrupt(err, "truncated header");
    const uint8_t* h = d + at;
    auto l = std::make_unique<Layout>();
    for (auto& e : l->palette) e[0] = e[1] = e[2] = 0, e[3] = 255;
    int64_t width, height;
    size_t palEntry = 4;
    uint32_t colorsUsed = 0;
    size_t afterHeader = at + hsize;
    if (hsize == 12) {
        width = le16(h + 4);
        height = le16(h + 6);
        l->bpp = le16(h + 10);
        palEntry = 3;
    } else {
        width = int32_t(le32(h + 4));
        height = int32_t(le32(h + 8));
        l->bpp = le16(h + 14);
        l->compression = le32(h + 16);
        colorsUsed = le32(h + 32);
    }
    if (icon) {
        if (height < 0) return corrupt(err, "top-down icon bitmap");
        height /= 2;
    }
    if (width <= 0 || height == 0) return corrupt(err, "zero or negative width, or zero height");
    if (height < 0) {
        height = -height;  // int64: INT_MIN negates safely
        l->topDown = true;
    }
    if (!info.setSize(width, height)) return iflErrTooLarge;
    l->width = int(width), l->height = int(height);

    const int bpp = l->bpp;
    const uint32_t comp = l->compression;
    if (comp == kJpeg || comp == kPng) return unsupported(err, "embedded JPEG or PNG data is not supported");
    bool ok;
    switch (comp) {
    case kRgb: ok = bpp == 1 || bpp == 4 || bpp == 8 || bpp == 16 || bpp == 24 || bpp == 32; break;
    case kRle8: ok = bpp == 8; break;
    case kRle4: ok = bpp == 4; break;
    case kBitfields:
    case kAlphaBitfields: ok = (bpp == 16 || bpp == 32) && hsize != 12; break;
    default: return unsupported(err, "compression " + std::to_string(comp) + " is not supported");
    }
    if (!ok) return unsupported(err, "bit depth " + std::to_string(bpp) + " with compression " +
                                         std::to_string(comp) + " is not supported");
    if ((comp == kRle8 || comp == kRle4) && l->topDown) return corrupt(err, "top-down run-length data");
    if ((comp == kRle8 || comp == kRle4) && icon) return unsupported(err, "run-length data in an icon");

    if (comp == kBitfields || comp == kAlphaBitfields) {
        // Masks follow a 40-byte header, or lie inside the longer ones.
        size_t masks = comp == kAlphaBitfields ? 4 : 3;
        const uint8_t* m = h + 40;
        if (hsize == 40) {
            if (n < afterHeader + 4 * masks) return corrupt(err, "truncated bit-field masks");
            afterHeader += 4 * masks;
        } else if (hsize < 56) {
            masks = 3;
        } else {
            masks = 4;
        }
        l->r = Field(le32(m)), l->g = Field(le32(m + 4)), l->b = Field(le32(m + 8));
        if (masks == 4) l->a = Field(le32(m + 12));
        l->alpha = l->a.mask != 0;
        if (bpp == 16) {
            for (Field* f : {&l->r, &l->g, &l->b, &l->a})
                if (f->mask > 0xffff) return corrupt(err, "bit-field mask wider than the pixel");
        }
    } else if (bpp == 16) {
        l->r = Field(0x7c00), l->g = Field(0x03e0), l->b = Field(0x001f);
    } else if (bpp == 32) {
        l->r = Field(0x00ff0000), l->g = Field(0x0000ff00), l->b = Field(0x000000ff);
        // An icon's fourth byte is alpha.
        if (icon) l->a = Field(0xff000000), l->alpha = true;
    }

    const size_t fullPalette = bpp <= 8 ? (colorsUsed && colorsUsed < (1u << bpp) ? colorsUsed : (1u << bpp)) : 0;
    if (icon) offset = afterHeader + fullPalette * palEntry;
    if (offset < afterHeader || offset > n) return corrupt(err, "pixel data offset outside the file");
    if (bpp <= 8) {
        size_t count = fullPalette;
        // A palette never reaches into the pixel data.
        size_t room = (offset - afterHeader) / palEntry;
        if (count > room) count = room;
        l->colours = unsigned(count);
        for (size_t i = 0; i < count; ++i) {
            const uint8_t* e = d + afterHeader + i * palEntry;
            l->palette[i][0] = e[2], l->palette[i][1] = e[1], l->palette[i][2] = e[0], l->palette[i][3] = 255;
        }
    }
    l->dataOffset = offset;
    l->stride = (size_t(l->width) * size_t(bpp) + 31) / 32 * 4;
    if (comp != kRle8 && comp != kRle4) {
        // The last row may lack its padding.
        uint64_t need = uint64_t(l->stride) * uint64_t(l->height - 1) + (uint64_t(l->width) * uint64_t(bpp) + 7) / 8;
        if (need > uint64_t(n - offset)) return corrupt(err, "truncated pixel data");
    }
    if (icon) {
        // 32-bit bitmaps may go without the mask their alpha replaces.
        l->icon = true;
        l->maskOffset = offset + l->stride * size_t(l->height);
        const uint64_t maskStride = (uint64_t(l->width) + 31) / 32 * 4;
        if (l->maskOffset <= n && maskStride * uint64_t(l->height) <= n - l->maskOffset)
            l->maskStride = size_t(maskStride);
        else if (bpp != 32)
            return corrupt(err, "truncated mask");
    }

    info.channels = l->alpha || icon ? 4 : 3;
    info.orientation = l->topDown ? iflUpperLeft : iflLowerLeft;
    // A V5 header may embed an ICC profile ('MBED'), placed from the start
    // of the info header; what of it lies inside the file is handed over.
    if (hsize == 124 && le32(h + 56) == 0x4D424544) {
        const uint64_t from = uint64_t(at) + le32(h + 112), size = le32(h + 116);
        if (from < n) info.icc.assign(d + from, d + from + std::min<uint64_t>(size, n - from));
    }
    reader.reset(new BmpReader(in, *l));
    return iflSuccess;
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    if (!sniff(in.data, in.size)) return corrupt(err, "not a BMP file");
    if (in.size < kFileHeader) return corrupt(err, "truncated header");
    // The file size field is often wrong; only the real size counts.
    return openBitmap(in, kFileHeader, le32(in.data + 10), false, info, reader, err);
}

void put16(uint8_t* p, uint32_t v) { p[0] = uint8_t(v), p[1] = uint8_t(v >> 8); }
void put32(uint8_t* p, uint32_t v) {
    p[0] = uint8_t(v), p[1] = uint8_t(v >> 8), p[2] = uint8_t(v >> 16), p[3] = uint8_t(v >> 24);
}

// 3 channels: 24-bit BI_RGB with a 40-byte header. 4 channels: 32-bit
// BI_BITFIELDS with a 108-byte header and an alpha mask. Bottom-up.
iflStatus write(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    const int ch = px.channels;
    if (ch != 3 && ch != 4) {
        err = "BMP stores 3 or 4 channels";
        return iflErrBadParams;
    }
    const uint32_t hsize = ch == 4 ? 108 : 40;
    const size_t stride = (size_t(px.width) * size_t(ch) + 3) / 4 * 4;
    const uint64_t image = uint64_t(stride) * uint64_t(px.height);
    const uint64_t total = kFileHeader + hsize + image;
    if (total > 0xffffffffu) {
        err = "picture too large for BMP";
        return iflErrTooLarge;
    }
    uint8_t head[kFileHeader + 108] = {};
    head[0] = 'B', head[1] = 'M';
    put32(head + 2, uint32_t(total));
    put32(head + 10, kFileHeader + hsize);
    uint8_t* h = head + kFileHeader;
    put32(h, hsize);
    put32(h + 4, uint32_t(px.width));
    put32(h + 8, uint32_t(px.height));
    put16(h + 12, 1);
    put16(h + 14, uint16_t(ch * 8));
    put32(h + 16, ch == 4 ? kBitfields : kRgb);
    put32(h + 20, uint32_t(image));
    put32(h + 24, 2835);  // 72 dpi
    put32(h + 28, 2835);
    if (ch == 4) {
        put32(h + 40, 0x00ff0000);
        put32(h + 44, 0x0000ff00);
        put32(h + 48, 0x000000ff);
        put32(h + 52, 0xff000000);
        put32(h + 56, 0x73524742);  // 'sRGB'
    }
    iflStatus st = writeAll(out, head, kFileHeader + hsize, err);
    std::vector<uint8_t> buf(stride, 0);
    const bool rgbx = bool(px.rgbx);
    for (int i = 0; i < px.height && st == iflSuccess; ++i) {
        int r = px.height - 1 - i;
        const uint8_t* s = rgbx ? px.rgbx.row(r) : px.row(r);
        const int step = rgbx ? 4 : ch;
        uint8_t* o = buf.data();
        for (int x = 0; x < px.width; ++x, s += step, o += ch) {
            o[0] = s[2], o[1] = s[1], o[2] = s[0];
            if (ch == 4) o[3] = s[3];
        }
        st = writeAll(out, buf.data(), stride, err);
    }
    return st;
}

const char* const kEndings[] = {"bmp", nullptr};

}  // namespace

iflStatus openIconBitmap(Bytes bitmap, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    return openBitmap(bitmap, 0, 0, true, info, reader, err);
}

const Codec bmpCodec = {"BMP", kEndings, sniff, open, write, 4, kAllLossless};

}  // namespace ifl0
