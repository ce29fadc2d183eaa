// Channel and orientation mapping between a file's stored rows and a
// caller's tile. Pure functions over rows: no files, no codecs.
#ifndef IFL0_ROWMAP_H
#define IFL0_ROWMAP_H

#include "ifl0.h"

#include <cstdint>

namespace ifl0 {

// Where stored pixel (c, r) of a file lands in a caller's tile:
//   u = uc * c + ur * r + u0,  v = vc * c + vr * r + v0
// with (u, v) the tile-relative column and row. The coefficients are -1, 0
// or 1: orientations only mirror and transpose.
struct RowMap {
    int uc = 1, ur = 0, u0 = 0;
    int vc = 0, vr = 1, v0 = 0;

    // fileOrient and storedW x storedH describe the stored rows; the tile
    // starts at (x0, y0) of the picture seen in bufOrient. Orientations
    // outside 1 to 8 count as 1.
    static RowMap make(iflOrientation fileOrient, int storedW, int storedH, iflOrientation bufOrient,
                       int x0, int y0);

    // The stored columns [c0, c1) of row r that fall inside an nx x ny tile
    // (at most storedW of them); false when none do.
    bool span(int r, int storedW, int nx, int ny, int& c0, int& c1) const;

    // True when a stored row runs left to right along one tile row, so it
    // can be copied as a block.
    bool rowIsContiguous() const { return uc == 1 && vc == 0; }
};

// For each buffer channel k: the byte of an RGBA pixel it reads, or -1 for
// the constant 255 (the file has no such channel).
struct ReadPick {
    int sel[16];
    int nchans;
    bool identityRGBA() const;  // 4 channels reading bytes 0, 1, 2, 3
};
// nchans buffer channels, list and offset as in iflConfig; fileChannels is
// the file's count (3 or 4). False when nchans is outside 1 to 16.
bool makeReadPick(int nchans, const int* list, int choff, int fileChannels, ReadPick& pick);

// For each file channel f: the buffer channel it is written from, or -1 for
// the constant 0.
struct WritePick {
    int src[4];
    int channels;  // the file's channel count
    bool isPrefix() const;  // file channel f comes from buffer channel f, for every f
};
bool makeWritePick(int nchans, const int* list, int choff, int fileChannels, WritePick& pick);

// Copies stored row r (RGBA, storedW pixels) into the tile (nx x ny pixels
// of pick.nchans bytes, rows without gaps).
void readRow(const RowMap& map, const ReadPick& pick, int r, const uint8_t* rgba, int storedW, uint8_t* tile,
             int nx, int ny);

// Applies pick to n RGBA pixels in place (pick.nchans must be 4).
void remapInPlace(const ReadPick& pick, uint8_t* rgba, int n);

// Gathers stored row r of a file (storedW pixels of pick.channels bytes) from
// a whole-picture buffer of nx x ny pixels of nchans bytes.
void writeRow(const RowMap& map, const WritePick& pick, int r, const uint8_t* tile, int nchans, int nx,
              int storedW, uint8_t* out);

}  // namespace ifl0

#endif
