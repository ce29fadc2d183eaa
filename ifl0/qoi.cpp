// QOI: reads and writes the "Quite OK Image" format, RGB or RGBA, every
// op. Pixels are decoded in one pass straight into the sink's rows and
// encoded in one pass from the caller's rows, as QOI 1.0 lays them out.
#include "codec.h"

#include <algorithm>
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

// The bytes an op takes, its own included.
inline ptrdiff_t opLength(uint8_t op) { return op == kOpRgba ? 5 : op == kOpRgb ? 4 : (op & 0xc0) == kOpLuma ? 2 : 1; }

// The decoder holds a pixel with its channels in 16-bit lanes, red
// lowest: a change of each channel (as a byte, 0 to 255) then adds to all
// of them at once, and masking the lanes to their low bytes makes each wrap
// on its own. No lane carries into the next: three bytes sum to at most 765.
constexpr uint64_t kLanes = 0x00ff00ff00ff00ffu, kAlphaLane = 0x00ff000000000000u;

inline uint64_t spread(uint32_t px) {
    uint64_t v = px;
    v = (v | v << 16) & 0x0000ffff0000ffffu;
    return (v | v << 8) & kLanes;
}

inline uint32_t gather(uint64_t v) {
    v |= v >> 8;
    return uint32_t(v & 0xffff) | uint32_t(v >> 16 & 0xffff0000u);
}

// slot() of a pixel in lanes: one product sums the weighted channels in
// the top lane, which no lower one carries into.
inline unsigned laneSlot(uint64_t v) {
    return unsigned(v * (11 | uint64_t(7) << 16 | uint64_t(5) << 32 | uint64_t(3) << 48) >> 48) & 63;
}

constexpr uint64_t lanes(int r, int g, int b) {
    return uint64_t(uint8_t(r)) | uint64_t(uint8_t(g)) << 16 | uint64_t(uint8_t(b)) << 32;
}

template <size_t N>
struct Table {
    uint64_t v[N];
    constexpr uint64_t operator[](size_t i) const { return v[i]; }
};

// A DIFF op's change to red, green and blue (-2 to 1 each), by its low six bits.
constexpr Table<64> kDiff = [] {
    Table<64> t{};
    for (int i = 0; i < 64; ++i) t.v[i] = lanes((i >> 4 & 3) - 2, (i >> 2 & 3) - 2, (i & 3) - 2);
    return t;
}();
// A LUMA op's change from its green difference g (-32 to 31, its low six
// bits): g - 8, g, g - 8; and from its second byte, red and blue 0 to 15 more.
constexpr Table<64> kLuma = [] {
    Table<64> t{};
    for (int i = 0; i < 64; ++i) t.v[i] = lanes(i - 40, i - 32, i - 40);
    return t;
}();
constexpr Table<256> kLumaRest = [] {
    Table<256> t{};
    for (int i = 0; i < 256; ++i) t.v[i] = lanes(i >> 4, 0, i & 15);
    return t;
}();

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
    // Runs may cross rows. Ops that start 5 bytes or more before the end of
    // the file (all but the last few) have all their bytes; the others are
    // checked. The running pixel is held in lanes (see spread). A file
    // without alpha delivers 255 whatever its ops say.
    template <bool Alpha>
    iflStatus decodeOps(RowSink& sink, std::string& err) const {
        const uint8_t* p = in_.data + kHeader;
        const uint8_t* const end = in_.data + in_.size;
        const uint8_t* const checked = end - 5;  // open() saw more than 5 bytes after the header
        uint64_t index[64] = {};
        uint64_t px = spread(pack(0, 0, 0, 255));
        const uint32_t opaque = Alpha ? 0 : 0xff000000u;
        int run = 0;
        for (int y = 0; y < h_; ++y) {
            uint8_t* o = sink.row(y);
            for (int x = 0; x < w_;) {
                if (run > 0) {
                    const int n = std::min(run, w_ - x);
                    const uint32_t out = gather(px) | opaque;
                    for (int i = 0; i < n; ++i) memcpy(o + 4 * (x + i), &out, 4);
                    x += n, run -= n;
                    continue;
                }
                // The byte after an op is read whatever the op: a file
                // whose last op lacks one has no end marker either.
                if (p >= checked && (p == end || end - p < std::max<ptrdiff_t>(opLength(*p), 2)))
                    return corrupt(err, "truncated data");
                const uint8_t op = *p++;
                if (op < kOpRun) {
                    // INDEX, DIFF and LUMA, nine ops in ten of a photograph's,
                    // chosen between without a branch to mispredict.
                    const bool luma = op >= kOpLuma;
                    const uint64_t moved = (px + (luma ? kLuma[op & 0x3f] + kLumaRest[*p] : kDiff[op & 0x3f])) & kLanes;
                    p += luma;
                    px = op < kOpDiff ? index[op] : moved;
                } else if (op == kOpRgb) {
                    px = spread(pack(p[0], p[1], p[2], 0)) | (px & kAlphaLane);
                    p += 3;
                } else if (op == kOpRgba) {
                    px = spread(pack(p[0], p[1], p[2], p[3]));
                    p += 4;
                } else {
                    run = op & 0x3f;  // and this pixel
                }
                index[laneSlot(px)] = px;
                const uint32_t out = gather(px) | opaque;
                memcpy(o + 4 * x, &out, 4);
                ++x;
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
// when Alpha) into ops, carrying the state from row to row. Its ops go to
// the file whenever 64 KiB have gathered, or, without a file, stay in
// memory until written.
class Encoder {
public:
    Encoder(FILE* out, std::string& err) : out_(out), err_(err), buf_(kFlushAt + kRoom) {}

    template <int Step, bool Alpha>
    void row(const uint8_t* s, int w, bool last) {
        uint8_t* o = buf_.data() + used_;
        for (int x = 0; x < w; ++x, s += Step) {
            if (size_t(o - buf_.data()) >= buf_.size() - kRoom) {
                used_ = size_t(o - buf_.data());
                makeRoom();
                o = buf_.data() + used_;
            }
            uint32_t px;
            if (Step == 4) {
                memcpy(&px, s, 4);
                if (!Alpha) px |= 0xff000000u;
            } else {
                px = pack(s[0], s[1], s[2], 255);
            }
            if (px == prev_) {
                if (++run_ == kMaxRun || (last && x + 1 == w)) {
                    *o++ = uint8_t(kOpRun | (run_ - 1));
                    run_ = 0;
                }
                continue;
            }
            if (run_ > 0) {
                *o++ = uint8_t(kOpRun | (run_ - 1));
                run_ = 0;
            }
            const unsigned i = slot(px);
            if (index_[i] == px) {
                *o++ = uint8_t(kOpIndex | i);
            } else if (index_[i] = px, (px ^ prev_) >> 24) {
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
            prev_ = px;
        }
        used_ = size_t(o - buf_.data());
    }

    // Takes on the state that encoding rows 0 to r - 1 of w pixels (RGBA
    // words, alpha ignored unless Alpha) leaves: the previous pixel, the
    // run not yet written, and in each slot of the index the last pixel
    // that hashes to it. Pixels equal to the start pixel at the very
    // beginning go into a run, never into the index.
    template <bool Alpha>
    void resume(const Rows<const uint8_t>& rows, int w, int r) {
        const int64_t n = int64_t(w) * r;
        auto at = [&](int64_t k) {
            uint32_t v;
            memcpy(&v, rows.row(int(k / w)) + 4 * (k % w), 4);
            return Alpha ? v : v | 0xff000000u;
        };
        const uint32_t start = pack(0, 0, 0, 255);
        int64_t lead = 0;
        while (lead < n && at(lead) == start) ++lead;
        prev_ = lead == n ? start : at(n - 1);
        int64_t same = 0;
        while (same < n - lead && at(n - 1 - same) == prev_) ++same;
        run_ = int((lead == n ? n : same - 1) % kMaxRun);
        uint64_t filled = 0;
        for (int64_t k = n - 1; k >= lead && filled != ~uint64_t(0); --k) {
            const uint32_t v = at(k);
            const unsigned i = slot(v);
            if (!(filled >> i & 1)) index_[i] = v, filled |= uint64_t(1) << i;
        }
    }

    // Writes what is buffered; the first failure sticks.
    iflStatus flush() {
        if (status_ == iflSuccess) status_ = writeAll(out_, buf_.data(), used_, err_);
        used_ = 0;
        return status_;
    }
    // Writes what is buffered to out, which the encoder had not.
    iflStatus writeTo(FILE* out) {
        out_ = out;
        return flush();
    }

private:
    static constexpr size_t kFlushAt = size_t(1) << 16;
    static constexpr size_t kRoom = 8;  // the most one pixel's ops take, and then some

    void makeRoom() {
        if (out_)
            flush();
        else
            buf_.resize(buf_.size() * 2);
    }

    FILE* out_;
    std::string& err_;
    std::vector<uint8_t> buf_;
    size_t used_ = 0;
    iflStatus status_ = iflSuccess;
    uint32_t index_[64] = {};
    uint32_t prev_ = pack(0, 0, 0, 255);
    int run_ = 0;
};

// Encodes rows [r0, r1) of px, the last row flushing any run.
void encodeRows(Encoder& enc, PixelSource& px, int r0, int r1) {
    const bool alpha = px.channels == 4;
    for (int r = r0; r < r1; ++r) {
        const bool last = r + 1 == px.height;
        if (px.rgbx && alpha)
            enc.row<4, true>(px.rgbx.row(r), px.width, last);
        else if (px.rgbx)
            enc.row<4, false>(px.rgbx.row(r), px.width, last);
        else if (alpha)
            enc.row<4, true>(px.row(r), px.width, last);
        else
            enc.row<3, false>(px.row(r), px.width, last);
    }
}

// A large picture whose rows can be read from two threads is encoded in two
// halves at once: the lower half from the state the upper half leaves,
// found from the pixels themselves, so the file is the one a single pass
// writes.
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
    Encoder upper(out, err);
    if (px.rgbx && int64_t(px.width) * px.height >= kMinParallelPixels) {
        const int mid = px.height / 2;
        Encoder lower(nullptr, err);
        inParallel([&] { encodeRows(upper, px, 0, mid); },
                   [&] {
                       if (c == 4)
                           lower.resume<true>(px.rgbx, px.width, mid);
                       else
                           lower.resume<false>(px.rgbx, px.width, mid);
                       encodeRows(lower, px, mid, px.height);
                   });
        st = upper.flush();
        if (st == iflSuccess) st = lower.writeTo(out);
    } else {
        encodeRows(upper, px, 0, px.height);
        st = upper.flush();
    }
    return st == iflSuccess ? writeAll(out, kEnd, sizeof kEnd, err) : st;
}

const char* const kEndings[] = {"qoi", nullptr};

}  // namespace

const Codec qoiCodec = {"QOI", kEndings, sniff, open, write, 4, kAllLossless};

}  // namespace ifl0
