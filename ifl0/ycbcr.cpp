// YCbCr to RGBA, as libheif converts it.
#include "stills.h"

namespace ifl0 {
namespace {

inline uint8_t clip(float v) {
    const long x = long(v + 0.5f);
    return uint8_t(x < 0 ? 0 : x > 255 ? 255 : x);
}

}  // namespace

YcbcrToRgba::YcbcrToRgba(const Ycbcr& c) : c_(c) {
    float kr = 0, kb = 0;
    switch (c.matrix) {
    case 0: return;  // identity: G, B and R stored as Y, Cb and Cr
    case 1: kr = 0.2126f, kb = 0.0722f; break;
    case 4: kr = 0.30f, kb = 0.11f; break;
    case 5:
    case 6: kr = 0.299f, kb = 0.114f; break;
    case 7: kr = 0.212f, kb = 0.087f; break;
    case 9:
    case 10: kr = 0.2627f, kb = 0.0593f; break;
    case 8:
    case 12:
    case 13: converts_ = false; return;
    default:  // unspecified and reserved codes: BT.601
        rCr_ = 1.402f, gCb_ = -0.344136f, gCr_ = -0.714136f, bCb_ = 1.772f;
        return;
    }
    rCr_ = 2 * (-kr + 1);
    gCb_ = 2 * kb * (-kb + 1) / (kb + kr - 1);
    gCr_ = 2 * kr * (-kr + 1) / (kb + kr - 1);
    bCb_ = 2 * (-kb + 1);
}

void YcbcrToRgba::row(const YcbcrPlanes& in, int r, int columns, uint8_t* o) const {
    const uint8_t* Y = in.y + r * in.yStride;
    const uint8_t* U = in.cb + (r >> in.sy) * in.cStride;
    const uint8_t* V = in.cr + (r >> in.sy) * in.cStride;
    const int sx = in.sx;
    if (c_.matrix == 0) {
        for (int x = 0; x < columns; ++x, o += 4) {
            const int g = Y[x], b = U[x >> sx], red = V[x >> sx];
            if (c_.fullRange)
                o[0] = uint8_t(red), o[1] = uint8_t(g), o[2] = uint8_t(b);
            else
                o[0] = uint8_t(((red * 219 + 128) >> 8) + 16), o[1] = uint8_t(((g * 219 + 128) >> 8) + 16),
                o[2] = uint8_t(((b * 219 + 128) >> 8) + 16);
            o[3] = 255;
        }
    } else if (c_.fullRange) {
        for (int x = 0; x < columns; ++x, o += 4) {
            const float y = float(Y[x]), cb = float(U[x >> sx] - 128), cr = float(V[x >> sx] - 128);
            o[0] = clip(y + rCr_ * cr), o[1] = clip(y + gCb_ * cb + gCr_ * cr), o[2] = clip(y + bCb_ * cb);
            o[3] = 255;
        }
    } else {
        for (int x = 0; x < columns; ++x, o += 4) {
            const float y = (float(Y[x]) - 16.0f) * 1.1689f, cb = float(U[x >> sx] - 128) * 1.1429f,
                        cr = float(V[x >> sx] - 128) * 1.1429f;
            o[0] = clip(y + rCr_ * cr), o[1] = clip(y + gCb_ * cb + gCr_ * cr), o[2] = clip(y + bCb_ * cb);
            o[3] = 255;
        }
    }
}

}  // namespace ifl0
