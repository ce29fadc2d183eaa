// QOI: reads and writes the "Quite OK Image" format, RGB or RGBA, every
// op. Pixels are decoded in one pass straight into the sink's rows and
// encoded in one pass from the caller's rows. Format reference: the QOI
// specification, version 1.0.
#include "codec.h"

#include <cstring>
#include <vector>

namespace ifl0 {

namespace {

constexpr size_t kHeader = 14;
const uint8_t kEnd[8] = {0, 0, 0, 0, 0, 0, 0, 1};

enum : uint8_t { kOpIndex = 0x00, kOpDiff = 0x40, kOpLuma = 0x80, kOpRun = 0xc0, kOpRgb = 0xfe, kOpRgba = 0xff };
constexpr int kMaxRun = 62;

// A pixel as the 32-bit word its RGBA bytes form in memory.
inline uint32_t pack(uint8_t r, uint8_t g, uint8_t b, uint8_t a) {
    return uint32_t(r) | uint32_t(g) << 8 | uint32_t(b) << 16 | uint32_t(a) << 24;
}

inline unsigned slot(uint32_t px) {
    return ((px & 0xff) * 3 + (px >> 8 & 0xff) * 5 + (px >> 16 & 0xff) * 7 + (px >> 24) * 11) & 63;
}

iflStatus corrupt(std::string& err, const char* why) {
    err = why;
    return iflErrCorrupt;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pixel words hold red in their low byte");

class QoiReader final : public Reader {
public:
    QoiReader(Bytes in, int w, int h, bool alpha) : in_(in), w_(w), h_(h), alpha_(alpha) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        return alpha_ ? decodeOps<true>(sink, err) : decodeOps<false>(sink, err);
    }

private:
    // Runs may cross rows; each op is checked against the end of the file
    // before its bytes are read. A file without alpha delivers 255 whatever
    // its ops say.
    template <bool Alpha>
    iflStatus decodeOps(RowSink& sink, std::string& err) const {
        const uint8_t* p = in_.data + kHeader;
        const uint8_t* const end = in_.data + in_.size;
        uint32_t index[64] = {};
        uint8_t r = 0, g = 0, b = 0, a = 255;
        int run = 0;
        const uint32_t opaque = Alpha ? 0 : 0xff000000u;
        for (int y = 0; y < h_; ++y) {
            uint8_t* o = sink.row(y);
            for (int x = 0; x < w_; ++x, o += 4) {
                if (run > 0) {
                    --run;
                } else {
                    if (p == end) return corrupt(err, "truncated data");
                    const uint8_t op = *p++;
                    if (op == kOpRgb) {
                        if (end - p < 3) return corrupt(err, "truncated data");
                        r = p[0], g = p[1], b = p[2];
                        p += 3;
                    } else if (op == kOpRgba) {
                        if (end - p < 4) return corrupt(err, "truncated data");
                        r = p[0], g = p[1], b = p[2], a = p[3];
                        p += 4;
                    } else if (op < kOpDiff) {
                        const uint32_t v = index[op];
                        r = uint8_t(v), g = uint8_t(v >> 8), b = uint8_t(v >> 16), a = uint8_t(v >> 24);
                    } else if (op < kOpLuma) {
                        r = uint8_t(r + ((op >> 4) & 3) - 2);
                        g = uint8_t(g + ((op >> 2) & 3) - 2);
                        b = uint8_t(b + (op & 3) - 2);
                    } else if (op < kOpRun) {
                        if (p == end) return corrupt(err, "truncated data");
                        const int dg = (op & 0x3f) - 32;
                        const int rest = *p++;
                        r = uint8_t(r + dg - 8 + (rest >> 4));
                        g = uint8_t(g + dg);
                        b = uint8_t(b + dg - 8 + (rest & 15));
                    } else {
                        run = op & 0x3f;
                    }
                    const uint32_t px = pack(r, g, b, a);
                    index[slot(px)] = px;
                }
                const uint32_t out = pack(r, g, b, a) | opaque;
                memcpy(o, &out, 4);
            }
            sink.done(y);
        }
        if (run > 0) return corrupt(err, "a run goes past the end of the picture");
        if (end - p < 8 || memcmp(p, kEnd, 8) != 0) return corrupt(err, "no end marker after the pixels");
        return iflSuccess;
    }

    Bytes in_;
    int w_, h_;
    bool alpha_;
};

bool sniff(const uint8_t* p, size_t n) { return n >= 4 && memcmp(p, "qoif", 4) == 0; }

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    if (!sniff(in.data, in.size)) return corrupt(err, "not a QOI file");
    if (in.size < kHeader) return corrupt(err, "truncated header");
    const uint32_t w = be32(in.data + 4), h = be32(in.data + 8);
    const uint8_t channels = in.data[12], colourspace = in.data[13];
    if (w == 0 || h == 0) return corrupt(err, "zero width or height");
    if (!info.setSize(w, h)) return iflErrTooLarge;
    if (channels != 3 && channels != 4) return corrupt(err, "channel count is neither 3 nor 4");
    // sRGB with linear alpha, or all linear: either way the samples are taken as they are.
    if (colourspace > 1) return corrupt(err, "unknown colour space");
    // One byte codes at most a run of 62 pixels: a shorter file cannot hold the picture.
    const uint64_t least = kHeader + (uint64_t(w) * h + kMaxRun - 1) / kMaxRun + sizeof kEnd;
    if (in.size < least) return corrupt(err, "truncated data");
    info.channels = channels;
    info.orientation = iflUpperLeft;
    reader.reset(new QoiReader(in, int(w), int(h), channels == 4));
    return iflSuccess;
}

// Encodes pixels Step bytes apart (the first three RGB, the fourth alpha
// when Alpha) into ops, carrying the state from row to row.
class Encoder {
public:
    Encoder(FILE* out, std::string& err) : out_(out), err_(err), buf_(kFlushAt + 16) {}

    template <int Step, bool Alpha>
    void row(const uint8_t* s, int w, bool last) {
        uint8_t* o = buf_.data() + used_;
        for (int x = 0; x < w; ++x, s += Step) {
            const uint32_t px = pack(s[0], s[1], s[2], Alpha ? s[3] : 255);
            if (px == prev_) {
                if (++run_ == kMaxRun || (last && x + 1 == w)) {
                    *o++ = uint8_t(kOpRun | (run_ - 1));
                    run_ = 0;
                }
            } else {
                if (run_ > 0) {
                    *o++ = uint8_t(kOpRun | (run_ - 1));
                    run_ = 0;
                }
                const unsigned i = slot(px);
                if (index_[i] == px) {
                    *o++ = uint8_t(kOpIndex | i);
                } else {
                    index_[i] = px;
                    if ((px ^ prev_) >> 24) {
                        *o++ = kOpRgba;
                        memcpy(o, &px, 4);
                        o += 4;
                    } else {
                        const int8_t dr = int8_t(s[0] - uint8_t(prev_)), dg = int8_t(s[1] - uint8_t(prev_ >> 8)),
                                     db = int8_t(s[2] - uint8_t(prev_ >> 16));
                        const int dgr = dr - dg, dgb = db - dg;
                        if (dr >= -2 && dr <= 1 && dg >= -2 && dg <= 1 && db >= -2 && db <= 1) {
                            *o++ = uint8_t(kOpDiff | (dr + 2) << 4 | (dg + 2) << 2 | (db + 2));
                        } else if (dgr >= -8 && dgr <= 7 && dg >= -32 && dg <= 31 && dgb >= -8 && dgb <= 7) {
                            *o++ = uint8_t(kOpLuma | (dg + 32));
                            *o++ = uint8_t((dgr + 8) << 4 | (dgb + 8));
                        } else {
                            *o++ = kOpRgb;
                            o[0] = s[0], o[1] = s[1], o[2] = s[2];
                            o += 3;
                        }
                    }
                }
                prev_ = px;
            }
            if (size_t(o - buf_.data()) >= kFlushAt) {
                used_ = size_t(o - buf_.data());
                flush();
                o = buf_.data();
            }
        }
        used_ = size_t(o - buf_.data());
    }

    // Writes what is buffered; the first failure sticks.
    iflStatus flush() {
        if (status_ == iflSuccess) status_ = writeAll(out_, buf_.data(), used_, err_);
        used_ = 0;
        return status_;
    }

private:
    static constexpr size_t kFlushAt = size_t(1) << 16;
    FILE* out_;
    std::string& err_;
    std::vector<uint8_t> buf_;
    size_t used_ = 0;
    iflStatus status_ = iflSuccess;
    uint32_t index_[64] = {};
    uint32_t prev_ = pack(0, 0, 0, 255);
    int run_ = 0;
};

iflStatus write(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    const int c = px.channels;
    if (c != 3 && c != 4) {
        err = "QOI stores 3 or 4 channels";
        return iflErrBadParams;
    }
    uint8_t head[kHeader] = {'q', 'o', 'i', 'f'};
    for (int i = 0; i < 4; ++i) {
        head[4 + i] = uint8_t(uint32_t(px.width) >> (24 - 8 * i));
        head[8 + i] = uint8_t(uint32_t(px.height) >> (24 - 8 * i));
    }
    head[12] = uint8_t(c);
    head[13] = 0;  // sRGB with linear alpha
    iflStatus st = writeAll(out, head, sizeof head, err);
    if (st != iflSuccess) return st;
    Encoder enc(out, err);
    for (int r = 0; r < px.height; ++r) {
        const bool last = r + 1 == px.height;
        if (px.rgbx && c == 4)
            enc.row<4, true>(px.rgbx.row(r), px.width, last);
        else if (px.rgbx)
            enc.row<4, false>(px.rgbx.row(r), px.width, last);
        else if (c == 4)
            enc.row<4, true>(px.row(r), px.width, last);
        else
            enc.row<3, false>(px.row(r), px.width, last);
    }
    st = enc.flush();
    return st == iflSuccess ? writeAll(out, kEnd, sizeof kEnd, err) : st;
}

const char* const kEndings[] = {"qoi", nullptr};

}  // namespace

const Codec qoiCodec = {"QOI", kEndings, sniff, open, write, 4, kAllLossless};

}  // namespace ifl0
