#include "rowmap.h"

#include <algorithm>
#include <cstring>

namespace ifl0 {

namespace {

// An affine map with a signed-permutation matrix: (x, y) = M (c, r) + t.
struct Affine {
    int m[2][2];
    int t[2];
};

// Where stored (c, r) lies in the upright picture, for a file of stored size
// w x h in orientation o.
Affine toUpright(iflOrientation o, int w, int h) {
    switch (o) {
    case iflUpperRight: return {{{-1, 0}, {0, 1}}, {w - 1, 0}};
    case iflLowerRight: return {{{-1, 0}, {0, -1}}, {w - 1, h - 1}};
    case iflLowerLeft: return {{{1, 0}, {0, -1}}, {0, h - 1}};
    case iflLeftUpper: return {{{0, 1}, {1, 0}}, {0, 0}};
    case iflRightUpper: return {{{0, -1}, {1, 0}}, {h - 1, 0}};
    case iflRightLower: return {{{0, -1}, {-1, 0}}, {h - 1, w - 1}};
    case iflLeftLower: return {{{0, 1}, {-1, 0}}, {0, w - 1}};
    default: return {{{1, 0}, {0, 1}}, {0, 0}};
    }
}

// The inverse of a signed-permutation affine map: M^-1 = M^T.
Affine invert(const Affine& a) {
    Affine r{};
    for (int i = 0; i < 2; ++i)
        for (int j = 0; j < 2; ++j) r.m[i][j] = a.m[j][i];
    for (int i = 0; i < 2; ++i) r.t[i] = -(r.m[i][0] * a.t[0] + r.m[i][1] * a.t[1]);
    return r;
}

// The values of c in [0, w) for which a + d*c lies in [0, n); d is -1, 0 or 1.
bool clampRange(int a, int d, int n, int w, int& lo, int& hi) {
    if (d == 0) {
        if (a < 0 || a >= n) return false;
        lo = 0, hi = w;
    } else if (d > 0) {
        lo = -a, hi = n - a;
    } else {
        lo = a - n + 1, hi = a + 1;
    }
    lo = std::max(lo, 0);
    hi = std::min(hi, w);
    return lo < hi;
}

}  // namespace

RowMap RowMap::make(iflOrientation fileOrient, int storedW, int storedH, iflOrientation bufOrient, int x0,
                    int y0) {
    Affine f = toUpright(fileOrient, storedW, storedH);
    // The buffer's own stored size: the picture seen in its orientation.
    iflSize s(storedW, storedH, 1);
    iflMapSize(fileOrient, s, bufOrient);
    Affine b = invert(toUpright(bufOrient, s.x, s.y));
    RowMap m;
    // buffer = B (F (c, r) + tf) + tb
    int mm[2][2], t[2];
    for (int i = 0; i < 2; ++i) {
        for (int j = 0; j < 2; ++j) mm[i][j] = b.m[i][0] * f.m[0][j] + b.m[i][1] * f.m[1][j];
        t[i] = b.m[i][0] * f.t[0] + b.m[i][1] * f.t[1] + b.t[i];
    }
    m.uc = mm[0][0], m.ur = mm[0][1], m.u0 = t[0] - x0;
    m.vc = mm[1][0], m.vr = mm[1][1], m.v0 = t[1] - y0;
    return m;
}

bool RowMap::span(int r, int storedW, int nx, int ny, int& c0, int& c1) const {
    int ulo, uhi, vlo, vhi;
    if (!clampRange(ur * r + u0, uc, nx, storedW, ulo, uhi)) return false;
    if (!clampRange(vr * r + v0, vc, ny, storedW, vlo, vhi)) return false;
    c0 = std::max(ulo, vlo);
    c1 = std::min(uhi, vhi);
    return c0 < c1;
}

bool ReadPick::identityRGBA() const {
    return nchans == 4 && sel[0] == 0 && sel[1] == 1 && sel[2] == 2 && sel[3] == 3;
}

bool makeReadPick(int nchans, const int* list, int choff, int fileChannels, ReadPick& pick) {
    if (nchans < 1 || nchans > 16) return false;
    pick.nchans = nchans;
    for (int k = 0; k < nchans; ++k) {
        int ch = (list ? list[k] : k) + choff;
        pick.sel[k] = (ch >= 0 && ch < fileChannels) ? ch : -1;
    }
    return true;
}

bool WritePick::isPrefix() const {
    for (int f = 0; f < channels; ++f)
        if (src[f] != f) return false;
    return true;
}

bool makeWritePick(int nchans, const int* list, int choff, int fileChannels, WritePick& pick) {
    if (nchans < 1 || nchans > 16 || fileChannels < 1 || fileChannels > 4) return false;
    pick.channels = fileChannels;
    for (int f = 0; f < fileChannels; ++f) pick.src[f] = f < nchans ? f : -1;
    // Named channels override the default; the first entry naming a channel wins.
    bool named[4] = {false, false, false, false};
    for (int k = 0; k < nchans; ++k) {
        int ch = (list ? list[k] : k) + choff;
        if (ch >= 0 && ch < fileChannels && !named[ch]) {
            named[ch] = true;
            pick.src[ch] = k;
        }
    }
    return true;
}

void readRow(const RowMap& map, const ReadPick& pick, int r, const uint8_t* rgba, int storedW, uint8_t* tile,
             int nx, int ny) {
    int c0, c1;
    if (!map.span(r, storedW, nx, ny, c0, c1)) return;
    const int n = pick.nchans;
    const ptrdiff_t step = (ptrdiff_t(map.vc) * nx + map.uc) * n;
    uint8_t* d = tile + ((ptrdiff_t(map.vc) * c0 + map.vr * r + map.v0) * nx +
                         (ptrdiff_t(map.uc) * c0 + map.ur * r + map.u0)) * n;
    const uint8_t* s = rgba + ptrdiff_t(c0) * 4;
    if (n == 4 && step == 4) {
        std::memcpy(d, s, size_t(c1 - c0) * 4);
        remapInPlace(pick, d, c1 - c0);
        return;
    }
    if (n == 4 && pick.sel[0] == 0 && pick.sel[1] == 1 && pick.sel[2] == 2) {
        // Mirrored or transposed: whole pixels as words, alpha as in remapInPlace.
        const int a = pick.sel[3];
        const int shift = a >= 0 ? 8 * a : 0;
        const uint32_t fill = a >= 0 ? 0 : 0xFF000000u;
        for (int c = c0; c < c1; ++c, d += step, s += 4) {
            uint32_t w;
            std::memcpy(&w, s, 4);
            if (a != 3) w = (w & 0x00FFFFFFu) | ((w >> shift) << 24) | fill;
            std::memcpy(d, &w, 4);
        }
        return;
    }
    for (int c = c0; c < c1; ++c, d += step, s += 4)
        for (int k = 0; k < n; ++k) d[k] = pick.sel[k] >= 0 ? s[pick.sel[k]] : 255;
}

static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "pixel words are read little-endian");

void remapInPlace(const ReadPick& pick, uint8_t* p, int n) {
    if (pick.identityRGBA()) return;
    if (pick.sel[0] == 0 && pick.sel[1] == 1 && pick.sel[2] == 2) {
        // The common case: only alpha is taken from elsewhere. Whole pixels
        // as little-endian words (byte k is bits 8k to 8k + 7), so the loop
        // vectorises.
        const int a = pick.sel[3];
        const int shift = a >= 0 ? 8 * a : 0;
        const uint32_t fill = a >= 0 ? 0 : 0xFF000000u;
        for (int i = 0; i < n; ++i, p += 4) {
            uint32_t w;
            std::memcpy(&w, p, 4);
            w = (w & 0x00FFFFFFu) | ((w >> shift) << 24) | fill;
            std::memcpy(p, &w, 4);
        }
        return;
    }
    for (int i = 0; i < n; ++i, p += 4) {
        uint8_t px[4] = {p[0], p[1], p[2], p[3]};
        for (int k = 0; k < 4; ++k) p[k] = pick.sel[k] >= 0 ? px[pick.sel[k]] : 255;
    }
}

void writeRow(const RowMap& map, const WritePick& pick, int r, const uint8_t* tile, int nchans, int nx,
              int storedW, uint8_t* out) {
    const ptrdiff_t step = (ptrdiff_t(map.vc) * nx + map.uc) * nchans;
    const uint8_t* s = tile + ((ptrdiff_t(map.vr) * r + map.v0) * nx + (ptrdiff_t(map.ur) * r + map.u0)) * nchans;
    const int fc = pick.channels;
    for (int c = 0; c < storedW; ++c, s += step, out += fc)
        for (int f = 0; f < fc; ++f) out[f] = pick.src[f] >= 0 ? s[pick.src[f]] : 0;
}

}  // namespace ifl0
