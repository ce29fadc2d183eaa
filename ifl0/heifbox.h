// What a HEIF or AVIF file declares, read from its boxes the way libheif
// reads them: the sizes that libheif and its decoders will allocate, which
// the HEIF module checks against the limits before anything is decoded,
// and the primary picture's coded data when its codec can decode it
// without libheif.
#ifndef IFL0_HEIFBOX_H
#define IFL0_HEIFBOX_H

#include "codec.h"
#include "stills.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <utility>
#include <vector>

namespace ifl0 {

// A width and a height; the larger of two is the one with the longer side.
struct Size {
    int64_t width = 0, height = 0;
    void keepLarger(int64_t w, int64_t h) {
        if (std::max(w, h) > std::max(width, height)) width = w, height = h;
    }
};

// An item's bytes: its extents (libheif allows up to 32) read as one run,
// without copying them together.
class ItemData {
public:
    void add(const uint8_t* p, size_t n) {
        spans_.push_back({p, n});
        size_ += n;
    }
    uint64_t size() const { return size_; }
    void append(const ItemData& more) {
        for (const auto& s : more.spans_) add(s.first, s.second);
    }
    // Copies up to n bytes from position at; returns how many there were.
    size_t copy(uint64_t at, uint8_t* out, size_t n) const {
        size_t got = 0;
        for (const auto& s : spans_) {
            if (got == n) break;
            if (at >= s.second) {
                at -= s.second;
                continue;
            }
            const size_t k = std::min<uint64_t>(n - got, s.second - at);
            memcpy(out + got, s.first + at, k);
            got += k;
            at = 0;
        }
        return got;
    }

private:
    std::vector<std::pair<const uint8_t*, size_t>> spans_;
    uint64_t size_ = 0;
};

// The primary picture when its codec can decode it without libheif: one
// AV1 or HEVC image, or a grid of HEVC ones, with no alpha and no
// properties but their size, depth, codec configuration, colour and pixel
// aspect; none when it is anything else.
struct Direct {
    enum Kind { none, av1, hevc } kind = none;
    int columns = 1, tileWidth = 0, tileHeight = 0, width = 0, height = 0;
    struct Tile {
        const uint8_t* config;  // av1C's OBUs, or hvcC's whole payload
        size_t configSize;
        ItemData data;
        std::unique_ptr<Ycbcr> nclx;  // its colr box's nclx matrix and range
    };
    std::vector<Tile> tiles;  // along the rows
};

// The sizes a file declares, which libheif and its decoders allocate
// before decoding, whatever the primary item's ispe says: every item's ispe
// (tiles, alpha, thumbnails), every codec configuration's; and, for the
// items that decoding the primary picture reaches (its tiles, its alpha),
// the sizes in their coded data, grid and overlay canvases; and whether
// every such grid is covered by its tiles.
struct Declared {
    Size item, canvas, coded;
    std::string uncovered;  // why a grid's tiles do not cover it
    int metaBoxes = 0;
    Direct direct;  // of the last meta box
};

// What the file declares; Declared() when it has no meta box.
Declared readDeclared(Bytes in);

// The parameter sets of an hvcC payload, each after a 4-byte length, as
// libheif hands them to the decoder before the item's own NAL units.
std::vector<uint8_t> hevcNals(const uint8_t* p, size_t n);

}  // namespace ifl0

#endif
