// BMP reading (core and info headers, palettes, bit fields, RLE) and writing.
#include "codec.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

using testutil::dataPath;
using testutil::readFile;

namespace {

using Bytes = std::vector<uint8_t>;

struct Decoded {
    iflStatus openStatus = iflErrBadParams;
    iflStatus readStatus = iflErrBadParams;
    iflSize size;
    iflOrientation orientation = iflOrientationDefault;
    Bytes rgba;  // upright, 4 bytes per pixel in the layout's channels
};

const int kProgramChannels[] = {0, 1, 2, 0};

Decoded decode(const Bytes& bytes, const int* channels = nullptr) {
    Decoded d;
    iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "test.bmp", nullptr, &d.openStatus);
    if (!f) return d;
    d.size = f->getSize();
    d.orientation = f->getOrientation();
    d.rgba.assign(size_t(d.size.x) * size_t(d.size.y) * 4, 0);
    iflConfig layout(iflUInt8, iflInterleaved, 4, channels, 0, iflUpperLeft);
    d.readStatus = f->getTile(0, 0, 0, d.size.x, d.size.y, 1, d.rgba.data(), &layout);
    f->close();
    return d;
}

Bytes fixture(const std::string& name) { return readFile(dataPath("bmp/" + name)); }

void put16(Bytes& b, size_t at, uint32_t v) {
    b[at] = uint8_t(v), b[at + 1] = uint8_t(v >> 8);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + size_t(i)] = uint8_t(v >> (8 * i));
}

// A crafted BMP: file header, info header of hsize bytes (masks inside it
// from 52 bytes on), then `between` (palette or trailing masks), then data.
struct Craft {
    uint32_t hsize = 40;
    int32_t w = 1, h = 1;
    uint16_t bpp = 24;
    uint32_t comp = 0;
    uint32_t masks[4] = {0, 0, 0, 0};
    uint32_t colorsUsed = 0;
    Bytes between, data;

    Bytes bytes() const {
        Bytes b(14 + hsize, 0);
        b[0] = 'B', b[1] = 'M';
        uint32_t offset = uint32_t(14 + hsize + between.size());
        put32(b, 2, uint32_t(offset + data.size()));
        put32(b, 10, offset);
        put32(b, 14, hsize);
        if (hsize == 12) {
            put16(b, 18, uint32_t(w)), put16(b, 20, uint32_t(h)), put16(b, 22, 1), put16(b, 24, bpp);
        } else {
            put32(b, 18, uint32_t(w)), put32(b, 22, uint32_t(h)), put16(b, 26, 1), put16(b, 28, bpp);
            put32(b, 30, comp), put32(b, 34, uint32_t(data.size())), put32(b, 46, colorsUsed);
            for (int i = 0; i < 4 && 40 + 4 * i + 4 <= int(hsize); ++i) put32(b, 54 + 4 * size_t(i), masks[i]);
        }
        b.insert(b.end(), between.begin(), between.end());
        b.insert(b.end(), data.begin(), data.end());
        return b;
    }
};

struct Rgba {
    uint8_t r, g, b, a;
};
Rgba at(const Decoded& d, int x, int y) {
    const uint8_t* p = &d.rgba[size_t(y * d.size.x + x) * 4];
    return {p[0], p[1], p[2], p[3]};
}
testing::AssertionResult isRgba(Rgba p, int r, int g, int b, int a) {
    if (p.r == r && p.g == g && p.b == b && p.a == a) return testing::AssertionSuccess();
    return testing::AssertionFailure() << "got " << int(p.r) << "," << int(p.g) << "," << int(p.b) << ","
                                       << int(p.a) << " want " << r << "," << g << "," << b << "," << a;
}
#define EXPECT_RGBA(px, R, G, B, A) EXPECT_TRUE(isRgba((px), (R), (G), (B), (A)))

// The 5x3 pattern behind most fixtures, top row first (tests/data/bmp/README.md).
const uint8_t kSrc[3][5][3] = {
    {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}, {0, 0, 0}},
    {{128, 64, 32}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}},
    {{0, 0, 0}, {128, 64, 32}, {10, 200, 100}, {255, 255, 0}, {10, 200, 100}}};
const char* kTwo[3] = {"10110", "00100", "11111"};  // 1 white, 0 black
const uint8_t kAlpha[3][5] = {{255, 0, 128, 64, 1}, {2, 3, 4, 250, 251}, {252, 253, 100, 200, 50}};

void expectSource(const Decoded& d, int tolerance = 0) {
    ASSERT_EQ(d.readStatus, iflSuccess);
    ASSERT_EQ(d.size.x, 5);
    ASSERT_EQ(d.size.y, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            Rgba p = at(d, x, y);
            EXPECT_NEAR(p.r, kSrc[y][x][0], tolerance) << x << "," << y;
            EXPECT_NEAR(p.g, kSrc[y][x][1], tolerance) << x << "," << y;
            EXPECT_NEAR(p.b, kSrc[y][x][2], tolerance) << x << "," << y;
        }
}

TEST(BmpReader, ReadsToolMadeFilesOfEveryDepth) {
    const char* rgbFiles[] = {"pal4.bmp", "pal8.bmp",       "core-pal8.bmp", "core-rgb24.bmp",
                              "bmp2.bmp", "rgb24.bmp",      "rle8.bmp"};
    for (const char* name : rgbFiles) {
        SCOPED_TRACE(name);
        Decoded d = decode(fixture(name));
        expectSource(d);
        EXPECT_EQ(d.size.c, 3);
        EXPECT_EQ(d.orientation, iflLowerLeft);
        for (size_t i = 3; i < d.rgba.size(); i += 4) EXPECT_EQ(d.rgba[i], 255);
    }
    Decoded d = decode(fixture("pal1.bmp"));
    ASSERT_EQ(d.readStatus, iflSuccess);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            uint8_t v = kTwo[y][x] == '1' ? 255 : 0;
            EXPECT_RGBA(at(d, x, y), v, v, v, 255);
        }
}

TEST(BmpReader, ReadsBitFields) {
    // 5-bit and 6-bit fields from the converter; within one quantisation step.
    expectSource(decode(fixture("rgb565.bmp")), 8);
    expectSource(decode(fixture("rgb555.bmp")), 8);

    Decoded d = decode(fixture("rgba32-v5.bmp"));
    expectSource(d);
    EXPECT_EQ(d.size.c, 4);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) EXPECT_EQ(at(d, x, y).a, kAlpha[y][x]) << x << "," << y;

    // 5-6-5 masks after a 40-byte header; values scale to the nearest 8-bit one.
    Craft c;
    c.w = 4, c.bpp = 16, c.comp = 3;
    c.between = {0x00, 0xf8, 0, 0, 0xe0, 0x07, 0, 0, 0x1f, 0, 0, 0};
    c.data = {0x00, 0xf8, 0xe0, 0x07, 0x1f, 0x00, 0x10, 0x84};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.size.c, 3);
    EXPECT_RGBA(at(d, 0, 0), 255, 0, 0, 255);
    EXPECT_RGBA(at(d, 1, 0), 0, 255, 0, 255);
    EXPECT_RGBA(at(d, 2, 0), 0, 0, 255, 255);
    EXPECT_RGBA(at(d, 3, 0), 132, 130, 132, 255);

    // 16 bits without masks are 5-5-5; the top bit is unused.
    c = Craft();
    c.w = 2, c.bpp = 16;
    c.data = {0x00, 0xfc, 0x10, 0x42};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_RGBA(at(d, 0, 0), 255, 0, 0, 255);
    EXPECT_RGBA(at(d, 1, 0), 132, 132, 132, 255);

    // 32-bit BI_RGB: the fourth byte is unused, even in a header with an alpha mask.
    c = Craft();
    c.hsize = 108, c.bpp = 32;
    c.masks[3] = 0xff000000;
    c.data = {30, 20, 10, 0};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.size.c, 3);
    EXPECT_RGBA(at(d, 0, 0), 10, 20, 30, 255);

    // An alpha mask in a 56-byte header gives alpha; masks need not be bytes.
    c = Craft();
    c.hsize = 56, c.bpp = 32, c.comp = 3;
    c.masks[0] = 0x000000ff, c.masks[1] = 0x0000ff00, c.masks[2] = 0x00ff0000, c.masks[3] = 0xff000000;
    c.data = {10, 20, 30, 40};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.size.c, 4);
    EXPECT_RGBA(at(d, 0, 0), 10, 20, 30, 40);

    // A 52-byte header has colour masks only.
    c.hsize = 52;
    c.masks[0] = 0x3ff00000, c.masks[1] = 0x000ffc00, c.masks[2] = 0x000003ff;
    c.data = {0xff, 0x03, 0x00, 0x00};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.size.c, 3);
    EXPECT_RGBA(at(d, 0, 0), 0, 0, 255, 255);

    // Zero masks read as 0 rather than failing or shifting forever.
    c.masks[0] = c.masks[1] = c.masks[2] = 0;
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_RGBA(at(d, 0, 0), 0, 0, 0, 255);

    // A mask wider than a 16-bit pixel is corrupt.
    c = Craft();
    c.w = 2, c.bpp = 16, c.comp = 3;
    c.between = {0, 0, 0xff, 0, 0xe0, 0x07, 0, 0, 0x1f, 0, 0, 0};
    c.data = {0, 0, 0, 0};
    EXPECT_EQ(decode(c.bytes()).openStatus, iflErrCorrupt);
}

// Corrupt, with one line on standard error naming the file and giving the reason.
testing::AssertionResult refusedAs(const Bytes& bytes, const std::string& reason) {
    testing::internal::CaptureStderr();
    Decoded d = decode(bytes);
    const std::string err = testing::internal::GetCapturedStderr();
    const iflStatus st = d.openStatus != iflSuccess ? d.openStatus : d.readStatus;
    if (st != iflErrCorrupt) return testing::AssertionFailure() << "status " << st << ": " << err;
    if (err.rfind("ifl0: test.bmp: ", 0) != 0 || err.find(reason) == std::string::npos ||
        err.find('\n') != err.size() - 1)
        return testing::AssertionFailure() << "printed: " << err;
    return testing::AssertionSuccess();
}

TEST(BmpReader, RefusesPaletteIndicesBeyondThePalette) {
    Craft c;
    c.w = 4, c.h = 2, c.bpp = 8, c.colorsUsed = 2;
    c.between = {1, 2, 3, 0, 4, 5, 6, 0};
    c.data = {0, 1, 1, 0, 0, 1, 2, 255};  // the bad indices are in the second stored row
    EXPECT_TRUE(refusedAs(c.bytes(), "palette index 2 beyond the palette of 2 colours"));
    c.data = {0, 1, 1, 0, 1, 0, 0, 1};
    Decoded d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_RGBA(at(d, 0, 1), 3, 2, 1, 255);
    EXPECT_RGBA(at(d, 1, 1), 6, 5, 4, 255);

    // A colour count larger than the file holds: the palette is what is there.
    c.colorsUsed = 0xffffffff;
    EXPECT_EQ(decode(c.bytes()).readStatus, iflSuccess);
    c.data[7] = 2;
    EXPECT_TRUE(refusedAs(c.bytes(), "palette index 2 beyond the palette of 2 colours"));
    // No palette at all: every index is beyond it.
    c.between.clear(), c.colorsUsed = 0;
    EXPECT_TRUE(refusedAs(c.bytes(), "palette index 0 beyond the palette of 0 colours"));

    // 4 bits, 3 colours; the padding nibble after an odd width is not a pixel.
    c = Craft();
    c.w = 3, c.bpp = 4, c.colorsUsed = 3;
    c.between.assign(12, 0);
    c.data = {0x12, 0x0f, 0, 0};
    EXPECT_EQ(decode(c.bytes()).readStatus, iflSuccess);
    c.data[0] = 0x13;
    EXPECT_TRUE(refusedAs(c.bytes(), "palette index 3 beyond the palette of 3 colours"));

    // 1 bit, a 1-colour palette used only with index 0; padding bits are not pixels.
    c = Craft();
    c.w = 5, c.bpp = 1, c.colorsUsed = 1;
    c.between = {10, 20, 30, 0};
    c.data = {0x07, 0xff, 0, 0};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_RGBA(at(d, 4, 0), 30, 20, 10, 255);
    c.data[0] = 0x08;
    EXPECT_TRUE(refusedAs(c.bytes(), "palette index 1 beyond the palette of 1 colour"));
}

TEST(BmpReader, DeliversBottomUpAndTopDownRowsUpright) {
    Bytes up = fixture("rgb24.bmp");
    Bytes down = up;
    int32_t h = -3;
    put32(down, 22, uint32_t(h));
    Decoded du = decode(up, kProgramChannels), dd = decode(down, kProgramChannels);
    ASSERT_EQ(du.readStatus, iflSuccess);
    ASSERT_EQ(dd.readStatus, iflSuccess);
    EXPECT_EQ(du.orientation, iflLowerLeft);
    EXPECT_EQ(dd.orientation, iflUpperLeft);
    // The program's layout repeats red in byte 3. The stored rows are the
    // same, so a top-down reading shows the picture upside down.
    for (int x = 0; x < 5; ++x) {
        const uint8_t* s = kSrc[0][x];
        EXPECT_RGBA(at(du, x, 0), s[0], s[1], s[2], s[0]);
        s = kSrc[2][x];
        EXPECT_RGBA(at(dd, x, 0), s[0], s[1], s[2], s[0]);
        s = kSrc[0][x];
        EXPECT_RGBA(at(dd, x, 2), s[0], s[1], s[2], s[0]);
    }
}

TEST(BmpReader, DecodesRunLengthEscapes) {
    // 8x4 RLE4 with runs, an absolute run, a delta, a run to the row end and an
    // early end of bitmap (tests/data/bmp/README.md).
    Decoded d = decode(fixture("rle4-delta.bmp"));
    ASSERT_EQ(d.readStatus, iflSuccess);
    ASSERT_EQ(d.size.x, 8);
    ASSERT_EQ(d.size.y, 4);
    const char* rows[4] = {"AB000000", "00000009", "34567000", "12121212"};  // top row first
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 8; ++x) {
            int i = rows[y][x] <= '9' ? rows[y][x] - '0' : rows[y][x] - 'A' + 10;
            EXPECT_RGBA(at(d, x, y), uint8_t(i * 17), uint8_t(255 - i * 17), uint8_t(i * 40 % 256), 255)
                << x << "," << y;
        }

    // RLE8: palette 0 grey, 1 red, 2 green, 3 blue; 5 wide, 3 high.
    Craft c;
    c.w = 5, c.h = 3, c.bpp = 8, c.comp = 1, c.colorsUsed = 4;
    c.between = {9, 9, 9, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
    c.data = {5, 1,              // run of 5 red, exactly to the row end
              0, 0,              // end of line
              0, 3, 2, 3, 2, 0,  // absolute 3 pixels, padded
              0, 2, 1, 1,        // delta right 1, down 1
              1, 3,              // one blue at x 4 of the top row
              0, 1};             // end of bitmap
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.orientation, iflLowerLeft);
    const char* rle8[3] = {"0000B", "GBG00", "RRRRR"};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            Rgba p = at(d, x, y);
            switch (rle8[y][x]) {
            case '0': EXPECT_RGBA(p, 9, 9, 9, 255); break;
            case 'R': EXPECT_RGBA(p, 255, 0, 0, 255); break;
            case 'G': EXPECT_RGBA(p, 0, 255, 0, 255); break;
            case 'B': EXPECT_RGBA(p, 0, 0, 255, 255); break;
            }
        }

    // Runs may cover the row's padding (5 pixels pad to 8), as some
    // encoders write them; those pixels are dropped.
    c.data = {5, 2, 3, 0, 0, 0, 8, 1, 0, 0, 2, 3, 0, 1};
    d = decode(c.bytes());
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_RGBA(at(d, 4, 2), 0, 255, 0, 255);
    EXPECT_RGBA(at(d, 4, 1), 255, 0, 0, 255);
    EXPECT_RGBA(at(d, 1, 0), 0, 0, 255, 255);
    EXPECT_RGBA(at(d, 2, 0), 9, 9, 9, 255);
    c.data = {9, 1};
    EXPECT_TRUE(refusedAs(c.bytes(), "run-length data overruns the row"));
}

// 8 pixels wide, so that the row has no padding, and 2 high; 4 colours.
Craft rleCraft(bool four, Bytes data) {
    Craft c;
    c.w = 8, c.h = 2, c.bpp = four ? 4 : 8, c.comp = four ? 2 : 1, c.colorsUsed = 4;
    c.between = {0, 0, 0, 0, 0, 0, 255, 0, 0, 255, 0, 0, 255, 0, 0, 0};
    c.data = std::move(data);
    return c;
}

TEST(BmpReader, RefusesRunLengthDataOutsideTheRowThePictureOrThePalette) {
    const std::string overrun = "run-length data overruns the row";
    for (bool four : {false, true}) {
        SCOPED_TRACE(four ? "RLE4" : "RLE8");
        const uint8_t one = four ? 0x11 : 1;  // a run value of index 1
        auto refused = [&](Bytes data, const std::string& reason) { return refusedAs(rleCraft(four, data).bytes(), reason); };
        EXPECT_TRUE(refused({9, one}, overrun));
        EXPECT_TRUE(refused({5, one, 4, one}, overrun));
        EXPECT_TRUE(refused({6, one, 0, 3, one, one, 0, 0}, overrun));  // absolute run of 3 at x 6
        EXPECT_TRUE(refused({4, one, 0, 2, 5, 0}, "delta moves past the row"));
        EXPECT_TRUE(refused({4, one, 0, 2, 5, 1}, "delta moves past the row"));
        EXPECT_TRUE(refused({0, 2, 0, 2}, "delta moves past the picture"));
        EXPECT_TRUE(refused({0, 0, 0, 2, 0, 1}, "delta moves past the picture"));
        EXPECT_TRUE(refused({2, uint8_t(four ? 0x14 : 4)}, "palette index 4 beyond the palette of 4 colours"));
        EXPECT_TRUE(refused({0, 3, uint8_t(four ? 0x12 : 1), uint8_t(four ? 0x70 : 2), uint8_t(four ? 0 : 7), 0},
                            "palette index 7 beyond the palette of 4 colours"));

        // Valid edge cases: full-width runs, an end of line with pixels left,
        // a delta inside the picture, an early end of bitmap.
        Decoded d = decode(rleCraft(four, {8, one, 0, 0, 2, uint8_t(four ? 0x22 : 2), 0, 1}).bytes());
        ASSERT_EQ(d.readStatus, iflSuccess);
        EXPECT_RGBA(at(d, 7, 1), 255, 0, 0, 255);
        EXPECT_RGBA(at(d, 1, 0), 0, 255, 0, 255);
        EXPECT_RGBA(at(d, 2, 0), 0, 0, 0, 255);
        d = decode(rleCraft(four, {0, 2, 7, 1, 1, uint8_t(four ? 0x30 : 3), 0, 1}).bytes());
        ASSERT_EQ(d.readStatus, iflSuccess);
        EXPECT_RGBA(at(d, 7, 0), 0, 0, 255, 255);
        EXPECT_RGBA(at(d, 6, 0), 0, 0, 0, 255);
        EXPECT_RGBA(at(d, 7, 1), 0, 0, 0, 255);
        d = decode(rleCraft(four, {0, 2, 8, 0, 0, 0, 0, 1}).bytes());  // a delta to the row end
        EXPECT_EQ(d.readStatus, iflSuccess);
    }
    // RLE4 reads only the nibbles a run uses.
    EXPECT_EQ(decode(rleCraft(true, {1, 0x1f, 0, 3, 0x12, 0x3f, 0, 1}).bytes()).readStatus, iflSuccess);
    EXPECT_TRUE(refusedAs(rleCraft(true, {1, 0xf1}).bytes(), "palette index 15 beyond the palette of 4 colours"));
}

TEST(BmpReader, RejectsBrokenRunLengthData) {
    Craft c;
    c.w = 5, c.h = 3, c.bpp = 8, c.comp = 1, c.colorsUsed = 1;
    c.between = {0, 0, 0, 0};
    for (Bytes data : {Bytes{5, 0, 0, 0}, Bytes{5}, Bytes{0, 2, 1}, Bytes{0, 5, 1, 1}, Bytes{}}) {
        c.data = data;
        Decoded d = decode(c.bytes());
        EXPECT_EQ(d.openStatus, iflSuccess);
        EXPECT_EQ(d.readStatus, iflErrCorrupt) << data.size();
    }
    c.data = {0, 1};
    c.h = -3;  // run-length data is bottom-up only
    EXPECT_EQ(decode(c.bytes()).openStatus, iflErrCorrupt);
    c.h = 3, c.bpp = 4;  // RLE8 needs 8 bits
    EXPECT_EQ(decode(c.bytes()).openStatus, iflErrUnsupported);
}

TEST(BmpReader, RejectsHostileHeadersCleanly) {
    Craft ok;
    ok.w = 2, ok.h = 2;
    ok.data.assign(16, 0x40);
    ASSERT_EQ(decode(ok.bytes()).readStatus, iflSuccess);

    auto status = [](const Bytes& b) {
        Decoded d = decode(b);
        return d.openStatus != iflSuccess ? d.openStatus : d.readStatus;
    };
    Craft c = ok;
    for (uint32_t comp : {4u, 5u, 9u}) {
        c.comp = comp;
        EXPECT_EQ(status(c.bytes()), iflErrUnsupported) << comp;
    }
    c = ok, c.hsize = 64;
    EXPECT_EQ(status(c.bytes()), iflErrUnsupported);
    c = ok, c.bpp = 2;
    EXPECT_EQ(status(c.bytes()), iflErrUnsupported);
    c = ok, c.h = INT_MIN;
    EXPECT_EQ(status(c.bytes()), iflErrTooLarge);
    c = ok, c.w = 30000, c.h = 30000;
    EXPECT_EQ(status(c.bytes()), iflErrTooLarge);
    c = ok, c.w = 0;
    EXPECT_EQ(status(c.bytes()), iflErrCorrupt);
    c = ok, c.w = -2;
    EXPECT_EQ(status(c.bytes()), iflErrCorrupt);
    c = ok, c.h = 0;
    EXPECT_EQ(status(c.bytes()), iflErrCorrupt);
    c = ok, c.h = 3;  // one row short
    EXPECT_EQ(status(c.bytes()), iflErrCorrupt);

    Bytes b = ok.bytes();
    put32(b, 10, 0xfffffff0);
    EXPECT_EQ(status(b), iflErrCorrupt);
    put32(b, 10, 20);  // pixel data inside the header
    EXPECT_EQ(status(b), iflErrCorrupt);

    b = ok.bytes();
    EXPECT_EQ(status(Bytes(b.begin(), b.begin() + 30)), iflErrCorrupt);
    EXPECT_EQ(status(Bytes(b.begin(), b.begin() + 16)), iflErrCorrupt);
    EXPECT_EQ(status(Bytes(b.begin(), b.end() - 3)), iflErrCorrupt);

    // The file size field is not trusted either way.
    for (uint32_t size : {0u, 0xffffffffu}) {
        b = ok.bytes();
        put32(b, 2, size);
        EXPECT_EQ(status(b), iflSuccess);
    }
    // The last row may lack its padding.
    b = fixture("rgb24.bmp");
    EXPECT_EQ(status(Bytes(b.begin(), b.end() - 1)), iflSuccess);
    EXPECT_EQ(status(Bytes(b.begin(), b.end() - 2)), iflErrCorrupt);
}

TEST(BmpSniff, RecognisesBmOnly) {
    const uint8_t bm[] = {'B', 'M'}, ba[] = {'B', 'A'}, p6[] = {'P', '6'};
    EXPECT_TRUE(ifl0::bmpCodec.sniff(bm, 2));
    EXPECT_FALSE(ifl0::bmpCodec.sniff(bm, 1));
    EXPECT_FALSE(ifl0::bmpCodec.sniff(ba, 2));
    EXPECT_FALSE(ifl0::bmpCodec.sniff(p6, 2));
}

Bytes gradient(int w, int h) {
    Bytes v(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &v[size_t(y * w + x) * 4];
            p[0] = uint8_t(x * 5), p[1] = uint8_t(y * 7), p[2] = uint8_t(x * y), p[3] = uint8_t(255 - x - y);
        }
    return v;
}

TEST(BmpWriter, RoundTripsOddSizedGradientExactly) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    Bytes px = gradient(w, h);
    for (int channels : {3, 4}) {
        SCOPED_TRACE(channels);
        std::string path = dir / ("g" + std::to_string(channels) + ".bmp");
        iflSize size(w, h, channels);
        iflFileConfig config(&size);
        iflStatus st;
        iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &config, nullptr, &st);
        ASSERT_NE(f, nullptr);
        iflConfig layout(iflUInt8, iflInterleaved, 4);
        EXPECT_EQ(f->setTile(0, 0, 0, w, h, 1, px.data(), &layout), iflSuccess);
        f->close();

        Bytes file = readFile(path);
        ASSERT_GE(file.size(), 54u);
        const size_t stride = channels == 3 ? 144 : 188;  // 47 * 3 padded to 4
        const size_t hsize = channels == 3 ? 40 : 108;
        EXPECT_EQ(file.size(), 14 + hsize + stride * h);
        EXPECT_EQ(file[14], hsize);
        EXPECT_EQ(file[28], channels * 8);
        EXPECT_EQ(file[30], channels == 3 ? 0 : 3);
        if (channels == 4) {
            EXPECT_EQ(file[69], 0xff);  // top byte of the alpha mask
        }
        // Bottom-up: the first stored row is the picture's bottom row, BGR(A).
        const uint8_t* first = &file[14 + hsize];
        const uint8_t* bottom = &px[size_t(h - 1) * w * 4];
        EXPECT_EQ(first[0], bottom[2]);
        EXPECT_EQ(first[1], bottom[1]);
        EXPECT_EQ(first[2], bottom[0]);

        Decoded d = decode(file);
        ASSERT_EQ(d.readStatus, iflSuccess);
        ASSERT_EQ(d.size.c, channels);
        for (size_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(d.rgba[i], (i % 4 == 3 && channels == 3) ? 255 : px[i]) << "byte " << i;
    }
}

}  // namespace

namespace {

// Every prefix and many single-byte changes of every fixture must decode or
// fail cleanly; the sanitizer build turns any stray read into a failure.
TEST(BmpReader, SurvivesTruncatedAndMutatedFixtures) {
    for (const std::string& name : testutil::listDir(dataPath("bmp"))) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".bmp") != 0) continue;
        SCOPED_TRACE(name);
        const Bytes original = fixture(name);
        for (size_t n = 0; n < original.size(); ++n) {
            Decoded d = decode(Bytes(original.begin(), original.begin() + long(n)));
            // Only missing row padding or a final end-of-bitmap code is forgiven.
            if (d.openStatus == iflSuccess && d.readStatus == iflSuccess) {
                EXPECT_GE(n + 4, original.size()) << "a prefix of " << n << " bytes read as complete";
            }
        }
        uint32_t seed = 12345;
        for (int i = 0; i < 300; ++i) {
            Bytes b = original;
            seed = seed * 1103515245 + 12345;
            size_t at = (seed >> 8) % std::min<size_t>(b.size(), 140);
            b[at] = uint8_t(seed >> 24);
            decode(b);
        }
    }
}

}  // namespace
