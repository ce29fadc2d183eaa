// TGA: reads uncompressed and run-length pictures, true-colour (15, 16, 24
// and 32 bits), grey (8 bits) and colour-mapped (8-bit indices into a map
// of 15, 16, 24 or 32-bit entries), from any of the four corners; writes
// 24-bit, or 32-bit with alpha, run-length compressed, top row first.
// The layout is Truevision's TGA 2.0.
//
// The format has no magic number: its sniff checks every field of the
// 18-byte header for consistency, and it is tried after every other format.
#include "codec.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace ifl0 {

namespace {

constexpr size_t kHeader = 18;
constexpr int kMaxPacket = 128;
// A TGA 2.0 file ends with the offsets of its extension and developer
// areas (none here) and this signature.
const char kFooter[] = "TRUEVISION-XFILE.";

enum Type : uint8_t { kMapped = 1, kTrueColour = 2, kGrey = 3, kRle = 8 };

// The header's fields.
struct Header {
    uint8_t idLength, mapType, type;
    uint16_t mapFirst, mapLength;
    uint8_t mapEntryBits;
    uint16_t width, height;
    uint8_t depth, descriptor;

    explicit Header(const uint8_t* p)
        : idLength(p[0]), mapType(p[1]), type(p[2]), mapFirst(le16(p + 3)), mapLength(le16(p + 5)),
          mapEntryBits(p[7]), width(le16(p + 12)), height(le16(p + 14)), depth(p[16]), descriptor(p[17]) {}
    int kind() const { return type & ~kRle; }
    bool rle() const { return type & kRle; }
    int alphaBits() const { return descriptor & 15; }
};

bool validEntryBits(unsigned bits) { return bits == 15 || bits == 16 || bits == 24 || bits == 32; }

// Every field agrees with the others: a known image type, a depth that type
// allows, attribute bits the depth has room for, a colour map exactly when
// the type needs one (true-colour files may carry one they do not use),
// sides that are not 0, and the bits no writer sets clear.
bool consistent(const Header& h) {
    if (h.type & ~(kRle | 3) || h.kind() == 0 || h.mapType > 1 || (h.descriptor & 0xc0)) return false;
    if (h.width == 0 || h.height == 0) return false;
    if (h.mapType == 1 ? h.mapLength == 0 || !validEntryBits(h.mapEntryBits) : h.mapLength != 0) return false;
    switch (h.kind()) {
    case kMapped: return h.mapType == 1 && h.depth == 8 && h.alphaBits() <= 8;
    case kGrey: return h.depth == 8 && h.alphaBits() == 0;
    default:
        return (h.depth == 15 && h.alphaBits() == 0) || (h.depth == 16 && h.alphaBits() <= 1) ||
               (h.depth == 24 && h.alphaBits() == 0) || (h.depth == 32 && (h.alphaBits() == 0 || h.alphaBits() == 8));
    }
}

bool sniff(const uint8_t* p, size_t n) { return n >= kHeader && consistent(Header(p)); }

iflStatus corrupt(std::string& err, const std::string& why) {
    err = why;
    return iflErrCorrupt;
}

uint8_t five(unsigned v) { return uint8_t((v & 31) << 3 | (v & 31) >> 2); }

// One pixel of 15 to 32 bits (little-endian, blue first) as RGBA bytes; the
// top bit of a 16-bit pixel is alpha only when alpha16 says so.
void colour(const uint8_t* p, int bits, bool alpha16, uint8_t* o) {
    if (bits <= 16) {
        const unsigned v = le16(p);
        o[0] = five(v >> 10), o[1] = five(v >> 5), o[2] = five(v);
        o[3] = alpha16 && !(v & 0x8000) ? 0 : 255;
    } else {
        o[0] = p[2], o[1] = p[1], o[2] = p[0], o[3] = bits == 32 ? p[3] : 255;
    }
}

struct Layout {
    Header h;
    int bytes = 0;        // per stored pixel
    bool alpha = false;   // the file delivers alpha
    bool alpha16 = false; // a 16-bit pixel's top bit is alpha
    size_t dataOffset = 0;
    // Colour-mapped files: the RGBA entry of each index, and which indices
    // the map holds.
    uint8_t map[256][4] = {};
    bool inMap[256] = {};
    explicit Layout(const uint8_t* p) : h(p) {}
};

class TgaReader final : public Reader {
public:
    TgaReader(Bytes in, std::unique_ptr<Layout> l) : in_(in), l_(std::move(l)) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        const Layout& l = *l_;
        const int w = l.h.width, bytes = l.bytes;
        const uint8_t* p = in_.data + l.dataOffset;
        const uint8_t* const end = in_.data + in_.size;
        // The packet being read, which may go on into the next row.
        int left = 0;
        bool repeat = false;
        uint8_t value[4];
        for (int r = 0; r < l.h.height; ++r) {
            uint8_t* o = sink.row(r);
            if (!l.h.rle()) {
                // open() checked that the rows lie inside the file.
                if (!convert(p, w, o, err)) return iflErrCorrupt;
                p += size_t(w) * size_t(bytes);
            }
            for (int x = 0; l.h.rle() && x < w;) {
                if (left == 0) {
                    if (p == end) return corrupt(err, "truncated data");
                    repeat = *p & 0x80;
                    left = (*p++ & 0x7f) + 1;
                    if (repeat) {
                        if (end - p < bytes) return corrupt(err, "truncated data");
                        if (!convert(p, 1, value, err)) return iflErrCorrupt;
                        p += bytes;
                    }
                }
                const int n = std::min(left, w - x);
                if (repeat) {
                    for (int i = 0; i < n; ++i) memcpy(o + 4 * (x + i), value, 4);
                } else {
                    if (end - p < ptrdiff_t(n) * bytes) return corrupt(err, "truncated data");
                    if (!convert(p, n, o + 4 * x, err)) return iflErrCorrupt;
                    p += ptrdiff_t(n) * bytes;
                }
                x += n;
                left -= n;
            }
            sink.done(r);
        }
        if (left > 0) return corrupt(err, "a run-length packet goes past the end of the picture");
        return iflSuccess;
    }

private:
    // Converts n stored pixels; false, with err, on an index the map lacks.
    bool convert(const uint8_t* p, int n, uint8_t* o, std::string& err) const {
        const Layout& l = *l_;
        switch (l.h.kind()) {
        case kMapped:
            for (int i = 0; i < n; ++i, o += 4) {
                if (!l.inMap[p[i]]) {
                    err = "colour-map index " + std::to_string(p[i]) + " is not in the map";
                    return false;
                }
                memcpy(o, l.map[p[i]], 4);
            }
            break;
        case kGrey:
            for (int i = 0; i < n; ++i, o += 4) o[0] = o[1] = o[2] = p[i], o[3] = 255;
            break;
        default:
            for (int i = 0; i < n; ++i, o += 4, p += l.bytes) colour(p, l.h.depth, l.alpha16, o);
        }
        return true;
    }

    Bytes in_;
    std::unique_ptr<Layout> l_;
};

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    if (in.size < kHeader) return corrupt(err, "truncated header");
    auto l = std::make_unique<Layout>(in.data);
    const Header& h = l->h;
    if (!consistent(h)) return corrupt(err, "not a TGA file");
    if (!info.setSize(h.width, h.height)) return iflErrTooLarge;
    l->bytes = (h.depth + 7) / 8;
    const size_t entryBytes = (h.mapEntryBits + 7) / 8;
    const size_t mapAt = kHeader + h.idLength;
    l->dataOffset = mapAt + size_t(h.mapType) * h.mapLength * entryBytes;
    if (l->dataOffset > in.size) return corrupt(err, "truncated colour map");
    if (h.kind() == kMapped) {
        // Entry i of the map is index mapFirst + i; 8-bit pixels reach the first 256.
        for (unsigned i = 0; i < h.mapLength && h.mapFirst + i < 256; ++i) {
            colour(in.data + mapAt + i * entryBytes, h.mapEntryBits, false, l->map[h.mapFirst + i]);
            l->inMap[h.mapFirst + i] = true;
        }
        l->alpha = h.mapEntryBits == 32;
    } else {
        l->alpha = h.depth == 32 || (h.depth == 16 && h.alphaBits() == 1);
        l->alpha16 = h.depth == 16 && h.alphaBits() == 1;
    }
    const uint64_t pixels = uint64_t(h.width) * h.height, rest = in.size - l->dataOffset;
    // A packet holds at most 128 pixels, in a header byte and one pixel.
    if (h.rle() ? (pixels + kMaxPacket - 1) / kMaxPacket * (1 + l->bytes) > rest : pixels * l->bytes > rest)
        return corrupt(err, "truncated data");
    info.channels = l->alpha ? 4 : 3;
    const bool top = h.descriptor & 0x20, rightToLeft = h.descriptor & 0x10;
    info.orientation =
        top ? (rightToLeft ? iflUpperRight : iflUpperLeft) : (rightToLeft ? iflLowerRight : iflLowerLeft);
    reader.reset(new TgaReader(in, std::move(l)));
    return iflSuccess;
}

// Run-length codes one row of n pixels of c bytes: a run packet for two or
// more equal pixels, else raw packets up to the next such pair.
size_t packRow(const uint8_t* s, int n, int c, uint8_t* out) {
    uint8_t* o = out;
    auto same = [&](int i, int j) { return memcmp(s + i * c, s + j * c, size_t(c)) == 0; };
    for (int i = 0; i < n;) {
        int run = 1;
        while (i + run < n && run < kMaxPacket && same(i, i + run)) ++run;
        if (run >= 2) {
            *o++ = uint8_t(0x80 | (run - 1));
            memcpy(o, s + i * c, size_t(c));
            o += c;
            i += run;
            continue;
        }
        int raw = 1;
        while (i + raw < n && raw < kMaxPacket && !(i + raw + 1 < n && same(i + raw, i + raw + 1))) ++raw;
        *o++ = uint8_t(raw - 1);
        memcpy(o, s + i * c, size_t(raw) * size_t(c));
        o += raw * c;
        i += raw;
    }
    return size_t(o - out);
}

iflStatus write(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    const int c = px.channels;
    if (c != 3 && c != 4) {
        err = "TGA stores 3 or 4 channels";
        return iflErrBadParams;
    }
    uint8_t head[kHeader] = {};
    head[2] = kTrueColour | kRle;
    head[12] = uint8_t(px.width), head[13] = uint8_t(px.width >> 8);
    head[14] = uint8_t(px.height), head[15] = uint8_t(px.height >> 8);
    head[16] = uint8_t(8 * c);
    head[17] = uint8_t(0x20 | (c == 4 ? 8 : 0));  // top row first; 8 alpha bits
    iflStatus st = writeAll(out, head, sizeof head, err);
    const size_t rowBytes = size_t(px.width) * size_t(c);
    std::vector<uint8_t> bgr(rowBytes), packed(rowBytes + rowBytes / size_t(c) + 1);
    for (int r = 0; r < px.height && st == iflSuccess; ++r) {
        const uint8_t* s = px.rgbx ? px.rgbx.row(r) : px.row(r);
        const int step = px.rgbx ? 4 : c;
        uint8_t* o = bgr.data();
        for (int x = 0; x < px.width; ++x, s += step, o += c) {
            o[0] = s[2], o[1] = s[1], o[2] = s[0];
            if (c == 4) o[3] = s[3];
        }
        st = writeAll(out, packed.data(), packRow(bgr.data(), px.width, c, packed.data()), err);
    }
    uint8_t footer[8 + sizeof kFooter] = {};
    memcpy(footer + 8, kFooter, sizeof kFooter);
    return st == iflSuccess ? writeAll(out, footer, sizeof footer, err) : st;
}

const char* const kEndings[] = {"tga", nullptr};

}  // namespace

const Codec tgaCodec = {"TGA", kEndings, sniff, open, write, 4, kAllLossless};

}  // namespace ifl0
