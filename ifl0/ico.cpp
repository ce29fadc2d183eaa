// ICO and CUR: reads the picture a viewer would show, the largest entry
// and of those the deepest, whether it holds a PNG file (read by the PNG
// module) or a BMP picture with its mask (read by the BMP module). Not
// written. Format reference: the Windows documentation of icon resources
// (ICONDIR and ICONDIRENTRY).
//
// The format has no magic number: its sniff checks the directory and the
// start of every entry it can see, and it is tried after every format that
// has one.
#include "codec.h"

#include <algorithm>
#include <cstring>

namespace ifl0 {

namespace {

constexpr size_t kDirectory = 6, kEntry = 16;

iflStatus corrupt(std::string& err, const std::string& why) {
    err = why;
    return iflErrCorrupt;
}

size_t entries(const uint8_t* p) { return le16(p + 4); }

bool isPng(const uint8_t* p, size_t n) { return pngCodec.sniff(p, n); }

bool isBitmap(const uint8_t* p, size_t n) {
    if (n < 4) return false;
    const uint32_t h = le32(p);
    return h == 12 || h == 40 || h == 52 || h == 56 || h == 108 || h == 124;
}

// The directory: reserved 0, type 1 (icon) or 2 (cursor), at least one
// entry, and all of them within the bytes.
bool directory(const uint8_t* p, size_t n) {
    return n >= kDirectory && le16(p) == 0 && (le16(p + 2) == 1 || le16(p + 2) == 2) && entries(p) > 0 &&
           kDirectory + kEntry * entries(p) <= n;
}

bool knownDepth(unsigned bits) {
    return bits == 0 || bits == 1 || bits == 4 || bits == 8 || bits == 16 || bits == 24 || bits == 32;
}

// Each entry points past the directory at data that ends within 32-bit
// offsets; an icon's entry also gives a plane count of 0 or 1 and a known
// depth (a cursor's hold its hot spot there). Of the entries whose data
// starts within the bytes, at least one must, and each must begin as a PNG
// file or a BMP info header.
bool sniff(const uint8_t* p, size_t n) {
    if (!directory(p, n)) return false;
    const bool icon = le16(p + 2) == 1;
    const size_t end = kDirectory + kEntry * entries(p);
    bool seen = false;
    for (size_t i = 0; i < entries(p); ++i) {
        const uint8_t* e = p + kDirectory + kEntry * i;
        const uint64_t size = le32(e + 8), at = le32(e + 12);
        if (size < 8 || at < end || at + size > 0xffffffffu) return false;
        if (icon && (le16(e + 4) > 1 || !knownDepth(le16(e + 6)))) return false;
        if (at + 8 > n) continue;
        if (!isPng(p + at, 8) && !isBitmap(p + at, 8)) return false;
        seen = true;
    }
    return seen;
}

// What an entry's own header says: its size, and bits per pixel.
struct Entry {
    Bytes data;
    bool png = false;
    int64_t width = 0, height = 0;
    int depth = 0;
    // Sides beyond any limit count as the limit, so that the product stays in range.
    int64_t area() const {
        auto side = [](int64_t v) { return std::min<int64_t>(std::max<int64_t>(v, 0), kMaxSide + 1); };
        return side(width) * side(height);
    }
};

bool readEntry(Entry& e) {
    const uint8_t* p = e.data.data;
    const size_t n = e.data.size;
    if (isPng(p, n)) {
        if (n < 26 || memcmp(p + 12, "IHDR", 4) != 0) return false;
        static const int kSamples[7] = {1, 0, 3, 1, 2, 0, 4};  // per colour type
        e.png = true;
        e.width = be32(p + 16), e.height = be32(p + 20);
        e.depth = p[24] * (p[25] < 7 ? kSamples[p[25]] : 0);
        return true;
    }
    if (!isBitmap(p, n) || n < 16) return false;
    if (le32(p) == 12) {
        e.width = le16(p + 4), e.height = le16(p + 6) / 2, e.depth = le16(p + 10);
    } else {
        e.width = int32_t(le32(p + 4)), e.height = int32_t(le32(p + 8)) / 2, e.depth = le16(p + 14);
    }
    return true;
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    if (!directory(in.data, in.size)) return corrupt(err, "not an ICO or CUR file");
    Entry best;
    for (size_t i = 0; i < entries(in.data); ++i) {
        const uint8_t* d = in.data + kDirectory + kEntry * i;
        const size_t size = le32(d + 8), at = le32(d + 12);
        if (at < kDirectory + kEntry * entries(in.data))
            return corrupt(err, "entry " + std::to_string(i + 1) + " overlaps the directory");
        if (at > in.size || size > in.size - at)
            return corrupt(err, "entry " + std::to_string(i + 1) + " lies past the end of the file");
        Entry e;
        e.data = {in.data + at, size};
        if (!readEntry(e))
            return corrupt(err, "entry " + std::to_string(i + 1) + " holds neither a PNG nor a BMP picture");
        if (!best.data.data || e.area() > best.area() || (e.area() == best.area() && e.depth > best.depth))
            best = e;
    }
    return best.png ? pngCodec.open(best.data, info, reader, err) : openIconBitmap(best.data, info, reader, err);
}

const char* const kEndings[] = {"ico", "cur", nullptr};

}  // namespace

const Codec icoCodec = {"ICO", kEndings, sniff, open, nullptr, 4, 0};

}  // namespace ifl0
