// AV1 still pictures decoded by dav1d itself, for the HEIF module: libheif
// converts every picture it decodes to planar RGB on one thread, which
// takes longer than the AV1 decoding; here the YCbCr planes go straight
// into the picture's rows, on two threads.
#ifndef IFL0_AV1STILL_H
#define IFL0_AV1STILL_H

#include "codec.h"

namespace ifl0 {

// How YCbCr becomes RGB: an H.273 matrix code and the range.
struct Ycbcr {
    int matrix = 2;  // unspecified: BT.601
    bool fullRange = true;
};

// Decodes an AV1 still picture of width x height (the bytes of its
// configuration OBUs and its own), with matrix and range from the file's
// nclx description when it has one, else from the sequence header, into
// 8-bit RGBA rows of sink. Declines, returning false before touching sink,
// when dav1d cannot be loaded or the picture is one it does not convert
// here (not 8-bit, monochrome, or a matrix other than the Kr/Kb ones or
// identity); else returns true with status (and err on failure).
bool decodeAv1Still(const std::vector<uint8_t>& obus, int width, int height, const Ycbcr* nclx, RowSink& sink,
                    iflStatus& status, std::string& err);

}  // namespace ifl0

#endif
