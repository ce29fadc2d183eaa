#include "rgbaimage.h"

#include "block.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <utility>

void SetAlphaOpaque(unsigned char* p, size_t n) {
    // Whole pixels as 32-bit words, alpha the high byte on this
    // little-endian machine: the compiler turns this into vector ORs.
    static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "alpha must be the high byte of a pixel word");
    for (size_t i = 0; i < n; ++i, p += 4) {
        uint32_t w;
        memcpy(&w, p, 4);
        w |= 0xFF000000u;
        memcpy(p, &w, 4);
    }
}

rgbaimage::rgbaimage() { Allocate(0, 0); }

rgbaimage::rgbaimage(int16_t width, int16_t height) { Allocate(width, height); }

rgbaimage::~rgbaimage() { free(pixels); }

void rgbaimage::Allocate(int16_t w, int16_t h) {
    free(pixels);
    pixels = nullptr;
    // Sizes outside the model (a negative side, a block over 2^31 - 1 bytes)
    // allocate nothing and leave the picture 0 by 0.
    int64_t bytes = (w > 0 && h > 0) ? int64_t(w) * h * 4 : 0;
    if (bytes > INT32_MAX) bytes = 0;
    width = bytes ? w : 0;
    height = bytes ? h : 0;
    // From malloc's family, released with free; large blocks sit on huge pages.
    pixels = ifl0::allocateBlock(size_t(bytes));
    if (!pixels && bytes) {
        width = height = 0;
        pixels = static_cast<unsigned char*>(malloc(1));
    }
}

rgbaimage& rgbaimage::SetFromPixels(imagebuf source) {
    if (source.pixels == pixels && source.width == width && source.height == height) return *this;
    rgbaimage copy(source.width, source.height);
    if (copy.width == source.width && copy.height == source.height && copy.width > 0)
        memcpy(copy.pixels, source.pixels, size_t(copy.width) * size_t(copy.height) * 4);
    std::swap(pixels, copy.pixels);
    std::swap(width, copy.width);
    std::swap(height, copy.height);
    return *this;
}

rgbaimage& rgbaimage::CopyFrom(const rgbaimage& other) { return SetFromPixels(other); }

void rgbaimage::SetOpaque() {
    // In memory order, a whole pixel at a time so that the loop vectorises:
    // the order of the stores does not change the result.
    const size_t n = size_t(width > 0 ? width : 0) * size_t(height > 0 ? height : 0);
    SetAlphaOpaque(pixels, n);
}

void rgbaimage::ResampleFrom(const imagebuf& source) {
    if (width <= 0 || height <= 0) return;
    if (source.width <= 0 || source.height <= 0 || !source.pixels) {
        memset(pixels, 0, size_t(width) * size_t(height) * 4);
        return;
    }
    const double sx = double(source.width) / double(width);
    const double sy = double(source.height) / double(height);
    for (int y = 0; y < height; ++y) {
        const unsigned char* srow = source.PixelAt(0, int(y * sy));
        uint32_t* d = reinterpret_cast<uint32_t*>(PixelAt(0, y));
        for (int x = 0; x < width; ++x) memcpy(d + x, srow + int(x * sx) * 4, 4);
    }
}

void rgbaimage::Resize(int16_t w, int16_t h) {
    // The old block moves into a temporary instead of being copied there.
    rgbaimage old;
    std::swap(pixels, old.pixels);
    std::swap(width, old.width);
    std::swap(height, old.height);
    Allocate(w, h);
    ResampleFrom(old);
}
