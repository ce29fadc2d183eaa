// HEIF and AVIF pictures decoded by their codecs directly, for the HEIF
// module: libheif converts every picture it decodes to planar RGB on one
// thread, which takes about as long as decoding it. Here the decoders run on
// every core and their YCbCr planes go straight into the picture's rows.
#ifndef IFL0_STILLS_H
#define IFL0_STILLS_H

#include "codec.h"

namespace ifl0 {

// How YCbCr becomes RGB: an H.273 matrix code and the range.
struct Ycbcr {
    int matrix = 2;  // unspecified: BT.601
    bool fullRange = true;
};

// 8-bit YCbCr planes; chroma subsampled by 2 across when sx, down when sy.
struct YcbcrPlanes {
    const uint8_t *y, *cb, *cr;
    ptrdiff_t yStride, cStride;
    int sx, sy;
};

// Converts rows of 8-bit YCbCr to RGBA (alpha 255) with libheif's
// coefficients, float arithmetic and nearest chroma sample, so that a
// picture read either way gets the same bytes.
class YcbcrToRgba {
public:
    explicit YcbcrToRgba(const Ycbcr& c);
    // False for the matrices converted only by libheif (YCgCo, and those
    // derived from the primaries).
    bool converts() const { return converts_; }
    // Row r of in, its first `columns` pixels, to out.
    void row(const YcbcrPlanes& in, int r, int columns, uint8_t* out) const;

private:
    Ycbcr c_;
    float rCr_ = 0, gCb_ = 0, gCr_ = 0, bCb_ = 0;
    bool converts_ = true;
};

// Each decoder below declines, returning false before it completes a row of sink,
// when its library cannot be loaded or the picture is one it does not
// convert (not 8-bit, monochrome, another matrix); the caller then reads
// the picture through libheif. Otherwise it returns true with status, and
// err on failure. nclx, when not null, is the file's colour description,
// which wins over the one in the coded data.

// An AV1 still picture of width x height: the bytes of its configuration
// OBUs and its own.
bool decodeAv1Still(const std::vector<uint8_t>& obus, int width, int height, const Ycbcr* nclx, RowSink& sink,
                    iflStatus& status, std::string& err);

// An HEVC picture of width x height made of `count` tiles of tileWidth x
// tileHeight in rows of `columns` (one tile for a plain picture); tile(i)
// gives tile i, along the rows, when it is decoded: its NAL units, every
// one after a 4-byte length, parameter sets first. The tiles on the right
// and bottom edges may reach past the picture. Only into a sink with a
// block.
struct HevcTile {
    std::vector<uint8_t> nals;
    const Ycbcr* nclx = nullptr;
};
bool decodeHevcStill(size_t count, const std::function<HevcTile(size_t)>& tile, int columns, int tileWidth,
                     int tileHeight, int width, int height, RowSink& sink, iflStatus& status, std::string& err);

}  // namespace ifl0

#endif
