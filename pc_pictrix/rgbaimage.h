// The picture model: 8-bit RGBA pixels, four bytes per pixel (red, green,
// blue, alpha), rows without gaps, the top row first.
#ifndef PC_PICTRIX_RGBAIMAGE_H
#define PC_PICTRIX_RGBAIMAGE_H

#include <cstddef>
#include <cstdint>

// A non-owning view of width x height pixels.
class imagebuf {
public:
    unsigned char* pixels;
    int16_t width;
    int16_t height;

    imagebuf() : pixels(nullptr), width(0), height(0) {}
    imagebuf(unsigned char* p, int16_t w, int16_t h) : pixels(p), width(w), height(h) {}

    // The pixel at column x, row y (row 0 the top). Unchecked.
    unsigned char* PixelAt(int x, int y) const { return pixels + (y * width + x) * 4; }
    // That pixel's alpha byte. Unchecked.
    unsigned char* AlphaAt(int x, int y) const { return pixels + y * width * 4 + x * 4 + 3; }
};

// An owning picture. Its block always exists, even at 0 by 0; a block that
// cannot be allocated leaves the picture 0 by 0.
class rgbaimage : public imagebuf {
public:
    rgbaimage();
    rgbaimage(int16_t width, int16_t height);
    virtual ~rgbaimage();
    rgbaimage(const rgbaimage&) = delete;
    rgbaimage& operator=(const rgbaimage&) = delete;

    // Replaces the block with an uninitialised one of width x height pixels.
    void Allocate(int16_t width, int16_t height);
    // Becomes a copy of source's pixels (a view of this picture's own block included).
    rgbaimage& SetFromPixels(imagebuf source);
    // The deep copy; copying a picture from itself leaves it unchanged.
    rgbaimage& CopyFrom(const rgbaimage& other);
    // Every alpha byte becomes 255; colours are untouched.
    void SetOpaque();
    // Fills the picture, at its size, from source by nearest-neighbour
    // sampling; from an empty source, with transparent black.
    void ResampleFrom(const imagebuf& source);
    // Changes the size and rescales the contents.
    void Resize(int16_t width, int16_t height);
};

// Sets byte 3 (alpha) of each of the n 4-byte pixels at p to 255, leaving
// the other bytes as they are.
void SetAlphaOpaque(unsigned char* p, size_t n);

#endif
