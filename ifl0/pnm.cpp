// PNM and PAM: reads P1 to P7 (first image only), writes binary PPM (P6)
// and PAM (P7, RGB or RGB_ALPHA). Format reference: the netpbm manual pages
// pbm(5), pgm(5), ppm(5) and pam(5).
#include "codec.h"

#include <cstring>
#include <vector>

namespace ifl0 {

namespace {

// Numbers in headers saturate here: far beyond any valid value, and safe
// to multiply by 255 in 64 bits.
constexpr uint64_t kSaturate = uint64_t(1) << 40;

enum class Kind { Bitmap, Grey, Rgb, Pam };

struct Layout {
    Kind kind = Kind::Rgb;
    bool plain = false;
    int width = 0, height = 0;
    int depth = 3;      // samples per pixel in the file
    bool alpha = false; // the last sample is alpha (PAM only)
    unsigned maxval = 255;
    size_t dataOffset = 0;
};

bool isSpace(uint8_t c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }
bool isDigit(uint8_t c) { return c >= '0' && c <= '9'; }

// A cursor over the file's bytes; every read is bounds-checked.
struct Cursor {
    const uint8_t* p;
    size_t n;
    size_t pos;

    bool atEnd() const { return pos >= n; }
    // Skips whitespace and comments (# to end of line).
    void skipSpace() {
        while (pos < n) {
            if (p[pos] == '#') {
                while (pos < n && p[pos] != '\n' && p[pos] != '\r') ++pos;
            } else if (isSpace(p[pos])) {
                ++pos;
            } else {
                return;
            }
        }
    }
    // Reads an unsigned decimal after optional whitespace and comments;
    // saturates at kSaturate. False when no digit is there.
    bool number(uint64_t& v) {
        skipSpace();
        if (pos >= n || !isDigit(p[pos])) return false;
        v = 0;
        while (pos < n && isDigit(p[pos])) {
            v = v * 10 + (p[pos] - '0');
            if (v > kSaturate) v = kSaturate;
            ++pos;
        }
        return true;
    }
};

iflStatus corrupt(std::string& err, const char* why) {
    err = why;
    return iflErrCorrupt;
}

// Checks width, height and maxval read from a header, and reports the size.
iflStatus checkSizes(uint64_t w, uint64_t h, uint64_t maxval, Info& info, std::string& err) {
    if (w == 0 || h == 0) return corrupt(err, "zero width or height");
    if (maxval == 0 || maxval > 65535) return corrupt(err, "maxval outside 1 to 65535");
    return info.setSize(int64_t(w), int64_t(h)) ? iflSuccess : iflErrTooLarge;
}

// After the last header number of a binary file: one whitespace character,
// or a comment that ends at a newline.
bool endOfHeader(Cursor& c) {
    if (c.atEnd()) return false;
    if (c.p[c.pos] == '#') {
        while (c.pos < c.n && c.p[c.pos] != '\n' && c.p[c.pos] != '\r') ++c.pos;
        if (c.atEnd()) return false;
    } else if (!isSpace(c.p[c.pos])) {
        return false;
    }
    ++c.pos;
    return true;
}

iflStatus parseClassic(Cursor& c, char magic, Layout& l, Info& info, std::string& err) {
    int m = magic - '0';
    l.plain = m <= 3;
    l.kind = (m == 1 || m == 4) ? Kind::Bitmap : (m == 2 || m == 5) ? Kind::Grey : Kind::Rgb;
    l.depth = l.kind == Kind::Rgb ? 3 : 1;
    uint64_t w, h, maxval = 1;
    if (!c.number(w) || !c.number(h)) return corrupt(err, "bad or truncated header");
    if (l.kind != Kind::Bitmap && !c.number(maxval)) return corrupt(err, "bad or truncated header");
    iflStatus st = checkSizes(w, h, maxval, info, err);
    if (st != iflSuccess) return st;
    if (!l.plain && !endOfHeader(c)) return corrupt(err, "bad or truncated header");
    l.width = int(w), l.height = int(h), l.maxval = unsigned(maxval);
    l.dataOffset = c.pos;
    return iflSuccess;
}

// Reads the rest of the current line after the keyword, trimmed.
std::string restOfLine(Cursor& c) {
    while (c.pos < c.n && (c.p[c.pos] == ' ' || c.p[c.pos] == '\t')) ++c.pos;
    size_t start = c.pos;
    while (c.pos < c.n && c.p[c.pos] != '\n' && c.p[c.pos] != '\r') ++c.pos;
    size_t end = c.pos;
    while (end > start && isSpace(c.p[end - 1])) --end;
    return std::string(reinterpret_cast<const char*>(c.p) + start, end - start);
}

iflStatus parsePam(Cursor& c, Layout& l, Info& info, std::string& err) {
    l.kind = Kind::Pam;
    uint64_t w = 0, h = 0, depth = 0, maxval = 0;
    bool haveW = false, haveH = false, haveD = false, haveM = false;
    std::string tupltype;
    for (;;) {
        c.skipSpace();
        size_t start = c.pos;
        while (c.pos < c.n && !isSpace(c.p[c.pos]) && c.p[c.pos] != '#') ++c.pos;
        std::string key(reinterpret_cast<const char*>(c.p) + start, c.pos - start);
        if (key.empty()) return corrupt(err, "bad or truncated header");
        if (key == "ENDHDR") {
            while (c.pos < c.n && c.p[c.pos] != '\n') ++c.pos;
            if (c.atEnd()) return corrupt(err, "bad or truncated header");
            ++c.pos;
            break;
        }
        if (key == "TUPLTYPE") {
            std::string t = restOfLine(c);
            // Several TUPLTYPE lines concatenate, separated by a space.
            if (tupltype.size() + t.size() > 256) return corrupt(err, "bad header");
            tupltype += tupltype.empty() ? t : " " + t;
            continue;
        }
        uint64_t* v = key == "WIDTH" ? &w : key == "HEIGHT" ? &h : key == "DEPTH" ? &depth
                      : key == "MAXVAL" ? &maxval : nullptr;
        if (!v) return corrupt(err, "unknown header line");
        bool* have = v == &w ? &haveW : v == &h ? &haveH : v == &depth ? &haveD : &haveM;
        if (c.pos < c.n && (c.p[c.pos] == '\n' || c.p[c.pos] == '\r')) return corrupt(err, "bad header");
        if (!c.number(*v)) return corrupt(err, "bad or truncated header");
        *have = true;
    }
    if (!haveW || !haveH || !haveD || !haveM) return corrupt(err, "header lacks WIDTH, HEIGHT, DEPTH or MAXVAL");
    iflStatus st = checkSizes(w, h, maxval, info, err);
    if (st != iflSuccess) return st;
    if (depth < 1 || depth > 4) {
        err = "PAM depth " + std::to_string(depth) + " is not supported (1 to 4)";
        return iflErrUnsupported;
    }
    struct Known {
        const char* name;
        int depth;
    };
    static const Known kKnown[] = {{"BLACKANDWHITE", 1}, {"GRAYSCALE", 1}, {"RGB", 3},
                                   {"BLACKANDWHITE_ALPHA", 2}, {"GRAYSCALE_ALPHA", 2}, {"RGB_ALPHA", 4}};
    for (const Known& k : kKnown)
        if (tupltype == k.name && k.depth != int(depth)) return corrupt(err, "TUPLTYPE does not match DEPTH");
    // Without a known TUPLTYPE the depth decides: 1 grey, 2 grey and alpha,
    // 3 RGB, 4 RGB and alpha.
    l.width = int(w), l.height = int(h), l.depth = int(depth), l.maxval = unsigned(maxval);
    l.alpha = depth == 2 || depth == 4;
    l.dataOffset = c.pos;
    return iflSuccess;
}

class PnmReader final : public Reader {
public:
    PnmReader(Bytes in, const Layout& l) : in_(in), l_(l) {
        scale_.resize(size_t(l.maxval) + 1);
        for (uint32_t v = 0; v <= l.maxval; ++v) scale_[v] = uint8_t((v * 255u + l.maxval / 2) / l.maxval);
    }

    iflStatus decode(RowSink& sink, std::string& err) override {
        Cursor c{in_.data, in_.size, l_.dataOffset};
        for (int r = 0; r < l_.height; ++r) {
            uint8_t* out = sink.row(r);
            iflStatus st = l_.plain ? plainRow(c, out, err) : binaryRow(c, out, err);
            if (st != iflSuccess) return st;
            sink.done(r);
        }
        return iflSuccess;
    }

private:
    // Writes one pixel from its file samples (grey, grey+alpha, RGB or RGBA).
    void put(uint8_t* o, const unsigned* s) const {
        if (l_.depth <= 2) {
            o[0] = o[1] = o[2] = scale_[s[0]];
            o[3] = l_.depth == 2 ? scale_[s[1]] : 255;
        } else {
            o[0] = scale_[s[0]], o[1] = scale_[s[1]], o[2] = scale_[s[2]];
            o[3] = l_.depth == 4 ? scale_[s[3]] : 255;
        }
    }

    iflStatus plainRow(Cursor& c, uint8_t* out, std::string& err) {
        for (int x = 0; x < l_.width; ++x, out += 4) {
            unsigned s[4];
            if (l_.kind == Kind::Bitmap) {
                // Plain PBM digits need no separators.
                c.skipSpace();
                if (c.atEnd()) return corrupt(err, "truncated data");
                uint8_t ch = c.p[c.pos++];
                if (ch != '0' && ch != '1') return corrupt(err, "bad sample in plain PBM data");
                out[0] = out[1] = out[2] = ch == '1' ? 0 : 255;
                out[3] = 255;
                continue;
            }
            for (int k = 0; k < l_.depth; ++k) {
                uint64_t v;
                if (!c.number(v)) return corrupt(err, c.atEnd() ? "truncated data" : "bad sample in plain data");
                if (v > l_.maxval) return corrupt(err, "sample above maxval");
                s[k] = unsigned(v);
            }
            put(out, s);
        }
        return iflSuccess;
    }

    iflStatus binaryRow(Cursor& c, uint8_t* out, std::string& err) {
        const size_t w = size_t(l_.width);
        size_t bytes;
        if (l_.kind == Kind::Bitmap)
            bytes = (w + 7) / 8;
        else
            bytes = w * size_t(l_.depth) * (l_.maxval > 255 ? 2 : 1);
        if (c.n - c.pos < bytes) return corrupt(err, "truncated data");
        const uint8_t* p = c.p + c.pos;
        c.pos += bytes;
        if (l_.kind == Kind::Bitmap) {
            for (size_t x = 0; x < w; ++x, out += 4) {
                uint8_t v = (p[x >> 3] >> (7 - (x & 7))) & 1 ? 0 : 255;
                out[0] = out[1] = out[2] = v;
                out[3] = 255;
            }
            return iflSuccess;
        }
        if (l_.maxval == 255 && l_.depth == 3) {
            // A 32-bit word per pixel, alpha its high byte on this
            // little-endian machine; the last pixel byte by byte, so that
            // nothing past the row is read.
            static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "alpha must be the high byte of a pixel word");
            for (size_t x = 0; x + 1 < w; ++x, out += 4, p += 3) {
                uint32_t v;
                memcpy(&v, p, 4);
                v |= 0xFF000000u;
                memcpy(out, &v, 4);
            }
            out[0] = p[0], out[1] = p[1], out[2] = p[2], out[3] = 255;
            return iflSuccess;
        }
        const bool wide = l_.maxval > 255;
        for (size_t x = 0; x < w; ++x, out += 4) {
            unsigned s[4];
            for (int k = 0; k < l_.depth; ++k) {
                s[k] = wide ? unsigned(p[0]) << 8 | p[1] : p[0];
                p += wide ? 2 : 1;
                if (s[k] > l_.maxval) return corrupt(err, "sample above maxval");
            }
            put(out, s);
        }
        return iflSuccess;
    }

    Bytes in_;
    Layout l_;
    std::vector<uint8_t> scale_;
};

bool sniff(const uint8_t* p, size_t n) { return n >= 2 && p[0] == 'P' && p[1] >= '1' && p[1] <= '7'; }

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    if (!sniff(in.data, in.size)) return corrupt(err, "not a PNM file");
    Cursor c{in.data, in.size, 2};
    Layout l;
    iflStatus st = in.data[1] == '7' ? parsePam(c, l, info, err) : parseClassic(c, char(in.data[1]), l, info, err);
    if (st != iflSuccess) return st;
    if (!l.plain) {
        // Refuse a short binary body now rather than half-way through decoding.
        uint64_t rowBytes = l.kind == Kind::Bitmap ? (uint64_t(l.width) + 7) / 8
                                                   : uint64_t(l.width) * uint64_t(l.depth) * (l.maxval > 255 ? 2 : 1);
        if (rowBytes * uint64_t(l.height) > uint64_t(in.size - l.dataOffset)) return corrupt(err, "truncated data");
    } else {
        // Plain samples take a character each, and all but plain PBM's a
        // separator too.
        uint64_t samples = uint64_t(l.width) * uint64_t(l.height) * uint64_t(l.depth);
        uint64_t least = l.kind == Kind::Bitmap ? samples : 2 * samples - 1;
        if (least > uint64_t(in.size - l.dataOffset)) return corrupt(err, "truncated data");
    }
    info.channels = l.alpha ? 4 : 3;
    info.orientation = iflUpperLeft;
    reader.reset(new PnmReader(in, l));
    return iflSuccess;
}

iflStatus writePpm(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    if (px.channels != 3) {
        err = "PPM stores 3 channels";
        return iflErrBadParams;
    }
    std::string head = "P6\n" + std::to_string(px.width) + " " + std::to_string(px.height) + "\n255\n";
    iflStatus st = writeAll(out, head.data(), head.size(), err);
    const size_t rowBytes = size_t(px.width) * 3;
    for (int r = 0; r < px.height && st == iflSuccess; ++r) st = writeAll(out, px.row(r), rowBytes, err);
    return st;
}

iflStatus writePam(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    if (px.channels != 3 && px.channels != 4) {
        err = "PAM stores 3 or 4 channels";
        return iflErrBadParams;
    }
    const bool rgba = px.channels == 4;
    std::string head = "P7\nWIDTH " + std::to_string(px.width) + "\nHEIGHT " + std::to_string(px.height) +
                       "\nDEPTH " + (rgba ? "4" : "3") + "\nMAXVAL 255\nTUPLTYPE " + (rgba ? "RGB_ALPHA" : "RGB") +
                       "\nENDHDR\n";
    iflStatus st = writeAll(out, head.data(), head.size(), err);
    const size_t rowBytes = size_t(px.width) * size_t(px.channels);
    const bool inPlace = rgba && px.rgbx;
    for (int r = 0; r < px.height && st == iflSuccess; ++r)
        st = writeAll(out, inPlace ? px.rgbx.row(r) : px.row(r), rowBytes, err);
    return st;
}

const char* const kEndings[] = {"ppm", "pnm", nullptr};
const char* const kPamEndings[] = {"pam", nullptr};

}  // namespace

const Codec pnmCodec = {"PNM", kEndings, sniff, open, writePpm, 3, kAllLossless};
const Codec pamCodec = {"PAM", kPamEndings, nullptr, nullptr, writePam, 4, kAllLossless};

}  // namespace ifl0
