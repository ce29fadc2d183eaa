// TIFF reading and writing through the public interface: fixtures made with
// ImageMagick and tiffcp (tests/data/tiff/README.md), and small files built
// here where a few tags say more than a fixture.
#include "codec.h"
#include "testutil.h"

#include <ifl0.h>

#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <string>
#include <vector>

namespace {

using testutil::dataPath;
using testutil::readFile;

// The fixtures' picture: 20 by 18, stored top row first.
constexpr int kW = 20, kH = 18;
struct Rgb {
    int r, g, b;
};
Rgb pattern(int x, int y) { return {12 * x + 5, 13 * y + 7, 255 - 6 * x - 7 * y}; }
int greyPattern(int x, int y) { return 8 * x + 5 * y + 3; }
int alphaPattern(int x, int y) { return (13 * x + 29 * y) % 256; }

// A read picture in the caller's upright layout.
struct Picture {
    iflStatus status = iflErrBadParams;
    iflSize size;  // from getDimensions
    int channels = 0;  // the file's channel count
    std::vector<uint8_t> px;  // 4 bytes a pixel
    const uint8_t* at(int x, int y) const { return px.data() + (size_t(y) * size.x + x) * 4; }
};

// The program's own layout: buffer channel 3 reads red.
const int kProgramChannels[4] = {0, 1, 2, 0};
const int kRgbaChannels[4] = {0, 1, 2, 3};

Picture readAll(iflFile* f, const int* channels) {
    Picture p;
    if (!f) return p;
    f->getDimensions(p.size);
    p.channels = f->getSize().c;
    p.px.assign(size_t(p.size.x) * p.size.y * 4, 0);
    iflConfig layout(iflUInt8, iflInterleaved, 4, channels, 0, iflUpperLeft);
    p.status = f->getTile(0, 0, 0, p.size.x, p.size.y, 1, p.px.data(), &layout);
    f->close();
    return p;
}

Picture load(const std::string& fixture, const int* channels = kProgramChannels) {
    iflStatus st;
    iflFile* f = iflFile::open(-1, dataPath("tiff/" + fixture).c_str(), 0, nullptr, &st);
    Picture p = readAll(f, channels);
    if (!f) p.status = st;
    return p;
}

Picture loadBytes(const std::vector<uint8_t>& bytes, const int* channels = kRgbaChannels) {
    iflStatus st;
    iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "crafted.tif", nullptr, &st);
    Picture p = readAll(f, channels);
    if (!f) p.status = st;
    return p;
}

void expectPattern(const Picture& p, int tolerance = 0) {
    ASSERT_EQ(p.status, iflSuccess);
    ASSERT_EQ(p.size.x, kW);
    ASSERT_EQ(p.size.y, kH);
    int bad = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            Rgb e = pattern(x, y);
            const uint8_t* q = p.at(x, y);
            if (abs(q[0] - e.r) > tolerance || abs(q[1] - e.g) > tolerance || abs(q[2] - e.b) > tolerance)
                if (bad++ < 5)
                    ADD_FAILURE() << "pixel " << x << "," << y << " is " << int(q[0]) << " " << int(q[1]) << " "
                                  << int(q[2]) << ", expected " << e.r << " " << e.g << " " << e.b;
        }
    EXPECT_EQ(bad, 0);
}

// Builds a little-endian TIFF: pixel data at offset 8 as one strip, then
// the directory. Tags are given as type (3 short, 4 long) and values.
class TiffBuilder {
public:
    TiffBuilder(int w, int h, std::vector<uint8_t> data) : data_(std::move(data)) {
        set(256, 4, {uint32_t(w)});
        set(257, 4, {uint32_t(h)});
        set(258, 3, {8, 8, 8});
        set(259, 3, {1});
        set(262, 3, {2});
        set(273, 4, {8});
        set(277, 3, {3});
        set(278, 4, {uint32_t(h)});
        set(279, 4, {uint32_t(data_.size())});
    }
    TiffBuilder& set(uint16_t tag, uint16_t type, std::vector<uint32_t> values) {
        tags_[tag] = {type, std::move(values)};
        return *this;
    }
    TiffBuilder& erase(uint16_t tag) {
        tags_.erase(tag);
        return *this;
    }
    // The next-directory offset; 0 ends the chain.
    TiffBuilder& next(uint32_t offset) {
        next_ = offset;
        return *this;
    }
    static constexpr uint32_t kIfdOffset(size_t dataSize) { return uint32_t(8 + dataSize + (dataSize & 1)); }
    std::vector<uint8_t> bytes() const {
        std::vector<uint8_t> b = {'I', 'I', 42, 0};
        const uint32_t ifd = kIfdOffset(data_.size());
        put32(b, ifd);
        b.insert(b.end(), data_.begin(), data_.end());
        if (data_.size() & 1) b.push_back(0);
        uint32_t extra = ifd + 2 + 12 * uint32_t(tags_.size()) + 4;
        std::vector<uint8_t> tail;
        put16(b, uint16_t(tags_.size()));
        for (const auto& [tag, tv] : tags_) {
            const auto& [type, values] = tv;
            const size_t size = type == 3 ? 2 : 4;
            put16(b, tag);
            put16(b, type);
            put32(b, uint32_t(values.size()));
            std::vector<uint8_t> v;
            for (uint32_t x : values) size == 2 ? put16(v, uint16_t(x)) : put32(v, x);
            if (v.size() <= 4) {
                v.resize(4, 0);
                b.insert(b.end(), v.begin(), v.end());
            } else {
                put32(b, extra + uint32_t(tail.size()));
                tail.insert(tail.end(), v.begin(), v.end());
            }
        }
        put32(b, next_);
        b.insert(b.end(), tail.begin(), tail.end());
        return b;
    }

private:
    static void put16(std::vector<uint8_t>& b, uint16_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
    static void put32(std::vector<uint8_t>& b, uint32_t v) {
        b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)});
    }
    std::vector<uint8_t> data_;
    std::map<uint16_t, std::pair<uint16_t, std::vector<uint32_t>>> tags_;
    uint32_t next_ = 0;
};

// Where stored pixel (c, r) of a w x h stored picture lies in the upright
// picture, for each TIFF orientation code.
void upright(int o, int c, int r, int w, int h, int& x, int& y) {
    switch (o) {
    case 2: x = w - 1 - c, y = r; break;
    case 3: x = w - 1 - c, y = h - 1 - r; break;
    case 4: x = c, y = h - 1 - r; break;
    case 5: x = r, y = c; break;
    case 6: x = h - 1 - r, y = c; break;
    case 7: x = h - 1 - r, y = w - 1 - c; break;
    case 8: x = r, y = w - 1 - c; break;
    default: x = c, y = r; break;
    }
}

}  // namespace

TEST(TiffSniff, RecognisesBothByteOrdersAndBigTiffOnly) {
    const ifl0::Codec& c = ifl0::tiffCodec;
    const uint8_t ii[] = {'I', 'I', 42, 0}, mm[] = {'M', 'M', 0, 42}, big[] = {'I', 'I', 43, 0},
                  bigm[] = {'M', 'M', 0, 43}, mixed[] = {'I', 'I', 0, 42}, png[] = {0x89, 'P', 'N', 'G'};
    EXPECT_TRUE(c.sniff(ii, 4));
    EXPECT_TRUE(c.sniff(mm, 4));
    EXPECT_TRUE(c.sniff(big, 4));
    EXPECT_TRUE(c.sniff(bigm, 4));
    EXPECT_FALSE(c.sniff(mixed, 4));
    EXPECT_FALSE(c.sniff(png, 4));
    EXPECT_FALSE(c.sniff(ii, 3));
}

class TiffFixture : public testing::TestWithParam<const char*> {};

TEST_P(TiffFixture, ReadsTheKnownRgbPixels) {
    Picture p = load(GetParam());
    expectPattern(p);
    EXPECT_EQ(p.channels, 3);
    // The program's layout reads red into channel 3 as well.
    EXPECT_EQ(p.at(7, 5)[3], p.at(7, 5)[0]);
}

// Stripped and tiled, every lossless compression, separate planes (libtiff's
// RGBA conversion), 16-bit samples rounded to nearest in both byte orders,
// and a two-page file.
INSTANTIATE_TEST_SUITE_P(AllLayouts, TiffFixture,
                         testing::Values("rgb-none.tif", "rgb-lzw.tif", "rgb-deflate.tif", "rgb-packbits.tif",
                                         "rgb-tiled.tif", "rgb-planar.tif", "rgb16-deflate.tif", "rgb16-bigendian.tif",
                                         "multipage.tif"),
                         [](const testing::TestParamInfo<const char*>& info) {
                             std::string n = info.param;
                             n = n.substr(0, n.find('.'));
                             for (char& ch : n)
                                 if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
                             return n;
                         });

TEST(TiffReader, ReadsJpegCompressedYCbCrClosely) {
    // Quality 90 with 2 x 2 chroma subsampling; ImageMagick decodes the same.
    expectPattern(load("rgb-jpeg.tif"), 20);
}

TEST(TiffReader, ReadsUnassociatedAlphaExactlyInStripsAndTiles) {
    for (const char* name : {"rgba-lzw.tif", "rgba-tiled.tif"}) {
        SCOPED_TRACE(name);
        Picture p = load(name, kRgbaChannels);
        expectPattern(p);
        EXPECT_EQ(p.channels, 4);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) ASSERT_EQ(p.at(x, y)[3], alphaPattern(x, y)) << x << "," << y;
    }
}

TEST(TiffReader, ReadsGreyAsEqualChannels) {
    for (const char* name : {"grey-packbits.tif", "grey16-tiled.tif"}) {
        SCOPED_TRACE(name);
        Picture p = load(name, kRgbaChannels);
        ASSERT_EQ(p.status, iflSuccess);
        EXPECT_EQ(p.channels, 3);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                const uint8_t* q = p.at(x, y);
                ASSERT_EQ(q[0], greyPattern(x, y)) << x << "," << y;
                ASSERT_EQ(q[1], q[0]);
                ASSERT_EQ(q[2], q[0]);
                ASSERT_EQ(q[3], 255);
            }
    }
}

TEST(TiffReader, ReadsGreyWithAlpha) {
    Picture p = loadBytes(TiffBuilder(2, 1, {10, 20, 30, 40})
                              .set(258, 3, {8, 8})
                              .set(262, 3, {1})
                              .set(277, 3, {2})
                              .set(338, 3, {2})
                              .bytes());
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_EQ(p.channels, 4);
    EXPECT_TRUE(p.px == std::vector<uint8_t>({10, 10, 10, 20, 30, 30, 30, 40}));
}

TEST(TiffReader, ReadsBilevelG4AndPackBits) {
    for (const char* name : {"bits-g4.tif", "bits-packbits.tif"}) {
        SCOPED_TRACE(name);
        Picture p = load(name);
        ASSERT_EQ(p.status, iflSuccess);
        for (int y = 0; y < kH; ++y)
            for (int x = 0; x < kW; ++x) {
                int e = (x + 2 * y) % 5 == 0 ? 0 : 255;
                ASSERT_EQ(p.at(x, y)[0], e) << x << "," << y;
                ASSERT_EQ(p.at(x, y)[2], e) << x << "," << y;
            }
    }
}

TEST(TiffReader, ReadsPaletteColours) {
    Picture p = load("palette.tif");
    ASSERT_EQ(p.status, iflSuccess);
    const Rgb quad[4] = {{255, 0, 0}, {0, 128, 0}, {0, 0, 255}, {200, 200, 50}};
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            Rgb e = quad[(x >= 10) + 2 * (y >= 9)];
            const uint8_t* q = p.at(x, y);
            ASSERT_TRUE(q[0] == e.r && q[1] == e.g && q[2] == e.b) << x << "," << y;
        }
}

// The fixtures store the pattern with the Orientation tag set; the picture
// must come out upright, with sides exchanged for 6 and 8, whether libtiff
// converts the samples (separate planes) or not.
TEST(TiffReader, AppliesTheOrientationTagOnce) {
    for (int o : {4, 6, 8})
        for (const char* kind : {"", "-planar"}) {
            std::string name = "orient" + std::to_string(o) + kind + ".tif";
            SCOPED_TRACE(name);
            Picture p = load(name);
            ASSERT_EQ(p.status, iflSuccess);
            const bool swap = o != 4;
            ASSERT_EQ(p.size.x, swap ? kH : kW);
            ASSERT_EQ(p.size.y, swap ? kW : kH);
            for (int r = 0; r < kH; ++r)
                for (int c = 0; c < kW; ++c) {
                    int x, y;
                    upright(o, c, r, kW, kH, x, y);
                    Rgb e = pattern(c, r);
                    const uint8_t* q = p.at(x, y);
                    ASSERT_TRUE(q[0] == e.r && q[1] == e.g && q[2] == e.b) << "stored " << c << "," << r;
                }
        }
}

namespace {

// A 5 x 3 stored picture whose every pixel differs: direct 8-bit RGB, or
// the same colours as an 8-bit palette (decoded by libtiff's conversion).
constexpr int kSw = 5, kSh = 3;
Rgb small(int c, int r) { return {40 * c + 10, 70 * r + 20, 200 - 10 * c - 30 * r}; }

std::vector<uint8_t> smallRgb(int orientation) {
    std::vector<uint8_t> d;
    for (int r = 0; r < kSh; ++r)
        for (int c = 0; c < kSw; ++c) {
            Rgb p = small(c, r);
            d.insert(d.end(), {uint8_t(p.r), uint8_t(p.g), uint8_t(p.b)});
        }
    return TiffBuilder(kSw, kSh, d).set(274, 3, {uint32_t(orientation)}).bytes();
}

std::vector<uint8_t> smallPalette(int orientation) {
    std::vector<uint8_t> d;
    std::vector<uint32_t> map(3 * 256, 0);
    for (int r = 0; r < kSh; ++r)
        for (int c = 0; c < kSw; ++c) {
            int i = r * kSw + c;
            Rgb p = small(c, r);
            map[i] = uint32_t(p.r) * 257, map[256 + i] = uint32_t(p.g) * 257, map[512 + i] = uint32_t(p.b) * 257;
            d.push_back(uint8_t(i));
        }
    return TiffBuilder(kSw, kSh, d)
        .set(258, 3, {8})
        .set(262, 3, {3})
        .set(277, 3, {1})
        .set(320, 3, map)
        .set(274, 3, {uint32_t(orientation)})
        .bytes();
}

}  // namespace

TEST(TiffReader, DeliversStoredRowsForEveryOrientationOnBothPaths) {
    for (int o = 1; o <= 8; ++o)
        for (bool palette : {false, true}) {
            SCOPED_TRACE("orientation " + std::to_string(o) + (palette ? " palette" : " rgb"));
            Picture p = loadBytes(palette ? smallPalette(o) : smallRgb(o));
            ASSERT_EQ(p.status, iflSuccess);
            ASSERT_EQ(p.size.x, o >= 5 ? kSh : kSw);
            for (int r = 0; r < kSh; ++r)
                for (int c = 0; c < kSw; ++c) {
                    int x, y;
                    upright(o, c, r, kSw, kSh, x, y);
                    Rgb e = small(c, r);
                    const uint8_t* q = p.at(x, y);
                    ASSERT_TRUE(q[0] == e.r && q[1] == e.g && q[2] == e.b && q[3] == 255)
                        << "stored " << c << "," << r << " got " << int(q[0]) << " " << int(q[1]) << " " << int(q[2]);
                }
        }
}

TEST(TiffReader, TreatsAnInvalidOrientationAsUpperLeft) {
    Picture p = loadBytes(smallRgb(9));
    ASSERT_EQ(p.status, iflSuccess);
    ASSERT_EQ(p.size.x, kSw);
    EXPECT_EQ(p.at(4, 0)[0], small(4, 0).r);
    EXPECT_EQ(p.at(0, 2)[1], small(0, 2).g);
}

TEST(TiffReader, InvertsMinIsWhiteGrey) {
    // 8-bit: 0 is white. 1-bit: a 0 bit is white.
    Picture p8 = loadBytes(TiffBuilder(3, 1, {0, 100, 255}).set(258, 3, {8}).set(262, 3, {0}).set(277, 3, {1}).bytes());
    ASSERT_EQ(p8.status, iflSuccess);
    EXPECT_EQ(p8.at(0, 0)[0], 255);
    EXPECT_EQ(p8.at(1, 0)[1], 155);
    EXPECT_EQ(p8.at(2, 0)[2], 0);
    Picture p1 = loadBytes(TiffBuilder(8, 1, {0xA0}).set(258, 3, {1}).set(262, 3, {0}).set(277, 3, {1}).bytes());
    ASSERT_EQ(p1.status, iflSuccess);
    EXPECT_EQ(p1.at(0, 0)[0], 0);
    EXPECT_EQ(p1.at(1, 0)[0], 255);
    EXPECT_EQ(p1.at(2, 0)[0], 0);
    EXPECT_EQ(p1.at(7, 0)[0], 255);
}

TEST(TiffReader, UnpremultipliesAssociatedAlpha) {
    // Contiguous samples are read directly; separate planes go through libtiff.
    Picture p = loadBytes(TiffBuilder(2, 1, {100, 50, 0, 128, 10, 20, 30, 255})
                              .set(258, 3, {8, 8, 8, 8})
                              .set(277, 3, {4})
                              .set(338, 3, {1})
                              .bytes());
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_EQ(p.channels, 4);
    const uint8_t* q = p.at(0, 0);
    EXPECT_EQ(int(q[0]), 199);
    EXPECT_EQ(int(q[1]), 100);
    EXPECT_EQ(int(q[2]), 0);
    EXPECT_EQ(int(q[3]), 128);
    EXPECT_EQ(int(p.at(1, 0)[2]), 30);
    Picture planes = loadBytes(TiffBuilder(2, 1, {100, 10, 50, 20, 0, 30, 128, 255})
                                   .set(258, 3, {8, 8, 8, 8})
                                   .set(277, 3, {4})
                                   .set(338, 3, {1})
                                   .set(284, 3, {2})
                                   .set(273, 4, {8, 10, 12, 14})
                                   .set(279, 4, {2, 2, 2, 2})
                                   .bytes());
    ASSERT_EQ(planes.status, iflSuccess);
    EXPECT_EQ(planes.channels, 4);
    EXPECT_TRUE(std::vector<uint8_t>(planes.px.begin(), planes.px.end()) ==
                std::vector<uint8_t>({199, 100, 0, 128, 10, 20, 30, 255}));
}

TEST(TiffReader, ConvertsCmykToRgb) {
    std::vector<uint8_t> cmyk = {0, 0, 0, 0, 255, 0, 0, 0, 0, 0, 0, 255, 100, 50, 0, 51};
    Picture p = loadBytes(
        TiffBuilder(4, 1, cmyk).set(258, 3, {8, 8, 8, 8}).set(262, 3, {5}).set(277, 3, {4}).set(332, 3, {1}).bytes());
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_EQ(p.channels, 3);
    auto near = [&](int x, int r, int g, int b) {
        const uint8_t* q = p.at(x, 0);
        EXPECT_NEAR(q[0], r, 1) << x;
        EXPECT_NEAR(q[1], g, 1) << x;
        EXPECT_NEAR(q[2], b, 1) << x;
        EXPECT_EQ(q[3], 255);
    };
    near(0, 255, 255, 255);
    near(1, 0, 255, 255);
    near(2, 0, 0, 0);
    near(3, 124, 164, 204);
}

TEST(TiffReader, RefusesSamplesItWouldMisread) {
    // Floating-point RGB, and 16-bit CMYK, which libtiff cannot convert.
    std::vector<uint8_t> floats(12 * 2, 0);
    EXPECT_EQ(loadBytes(TiffBuilder(2, 1, floats).set(258, 3, {32, 32, 32}).set(339, 3, {3, 3, 3}).bytes()).status,
              iflErrUnsupported);
    std::vector<uint8_t> cmyk16(8 * 2, 0);
    EXPECT_EQ(loadBytes(TiffBuilder(2, 1, cmyk16).set(258, 3, {16, 16, 16, 16}).set(262, 3, {5}).set(277, 3, {4}).bytes())
                  .status,
              iflErrUnsupported);
}

TEST(TiffReader, RefusesPicturesBeyondTheLimitsBeforeDecoding) {
    std::vector<uint8_t> big = TiffBuilder(40000, 40000, {1, 2, 3}).bytes();
    Picture p = loadBytes(big);
    EXPECT_EQ(p.status, iflErrTooLarge);
    std::vector<uint8_t> empty = TiffBuilder(0, 5, {1, 2, 3}).bytes();
    EXPECT_NE(loadBytes(empty).status, iflSuccess);
}

TEST(TiffReader, FailsCleanlyOnTruncatedOrCorruptData) {
    // A strip that starts 10 bytes before the end of the file.
    std::vector<uint8_t> rgb(kSw * kSh * 3, 77);
    TiffBuilder builder(kSw, kSh, rgb);
    const size_t size = builder.bytes().size();
    std::vector<uint8_t> shortStrip = builder.set(273, 4, {uint32_t(size - 10)}).bytes();
    EXPECT_EQ(loadBytes(shortStrip).status, iflErrCorrupt);
    // Strips whose compressed data end early.
    for (const char* name : {"short-strip-lzw.tif", "short-strip-deflate.tif", "short-strip-jpeg.tif"}) {
        SCOPED_TRACE(name);
        EXPECT_EQ(load(name).status, iflErrCorrupt);
    }
    // Garbage in place of LZW codes.
    std::vector<uint8_t> junk(64);
    for (size_t i = 0; i < junk.size(); ++i) junk[i] = uint8_t(i * 37 + 11);
    EXPECT_NE(loadBytes(TiffBuilder(kSw, kSh, junk).set(259, 3, {5}).bytes()).status, iflSuccess);
    // Every prefix of a whole file fails or reads the true picture; none crashes.
    std::vector<uint8_t> whole = readFile(dataPath("tiff/rgb-lzw.tif"));
    ASSERT_FALSE(whole.empty());
    for (size_t n = 0; n < whole.size(); n += 7) {
        std::vector<uint8_t> cut(whole.begin(), whole.begin() + n);
        Picture p = loadBytes(cut);
        if (p.status == iflSuccess) expectPattern(p);
    }
}

TEST(TiffReader, OpensTheFirstPageOfALoopingDirectoryChain) {
    std::vector<uint8_t> rgb(kSw * kSh * 3, 90);
    std::vector<uint8_t> looped = TiffBuilder(kSw, kSh, rgb).next(TiffBuilder::kIfdOffset(rgb.size())).bytes();
    Picture p = loadBytes(looped);
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_EQ(p.at(2, 1)[0], 90);
}

TEST(TiffReader, DecodesAgainForEachTile) {
    iflStatus st;
    iflFile* f = iflFile::open(-1, dataPath("tiff/rgb-tiled.tif").c_str(), 0, nullptr, &st);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> a(3 * 2 * 4), b(a.size());
    iflConfig layout(iflUInt8, iflInterleaved, 4, kRgbaChannels, 0, iflUpperLeft);
    ASSERT_EQ(f->getTile(17, 15, 0, 3, 2, 1, a.data(), &layout), iflSuccess);
    ASSERT_EQ(f->getTile(17, 15, 0, 3, 2, 1, b.data(), &layout), iflSuccess);
    EXPECT_EQ(a, b);
    Rgb e = pattern(19, 16);
    EXPECT_EQ(a[(1 * 3 + 2) * 4 + 0], e.r);
    EXPECT_EQ(a[(1 * 3 + 2) * 4 + 1], e.g);
    EXPECT_EQ(a[(1 * 3 + 2) * 4 + 2], e.b);
    f->close();
}

namespace {

// An odd-sized gradient with varied alpha.
std::vector<uint8_t> gradient(int w, int h, int c) {
    std::vector<uint8_t> v(size_t(w) * h * c);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &v[(size_t(y) * w + x) * c];
            p[0] = uint8_t(x * 5), p[1] = uint8_t(y * 7), p[2] = uint8_t(x * y);
            if (c == 4) p[3] = uint8_t(255 - x - 3 * y);
        }
    return v;
}

iflStatus writeTiff(const std::string& path, const std::vector<uint8_t>& px, int w, int h, int c,
                    iflCompression comp) {
    iflSize size(w, h, c);
    iflFileConfig cfg(&size, iflUInt8, iflInterleaved, iflColorModelDefault, iflUpperLeft, comp);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &cfg, nullptr, &st);
    if (!f) return st;
    iflConfig layout(iflUInt8, iflInterleaved, c);
    st = f->setTile(0, 0, 0, w, h, 1, px.data(), &layout);
    f->close();
    return st;
}

}  // namespace

TEST(TiffWriter, RoundTripsExactlyForEachLosslessCompression) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    for (int c : {3, 4})
        for (iflCompression comp : {iflCompressionDefault, iflNoCompression, iflLZW, iflDeflate, iflPackBits}) {
            SCOPED_TRACE("channels " + std::to_string(c) + " compression " + std::to_string(comp));
            std::vector<uint8_t> src = gradient(w, h, c);
            std::string path = dir / "out.tif";
            ASSERT_EQ(writeTiff(path, src, w, h, c, comp), iflSuccess);
            iflStatus st;
            iflFile* f = iflFile::open(-1, path.c_str(), 0, nullptr, &st);
            ASSERT_NE(f, nullptr);
            EXPECT_STREQ(f->getFormat()->name(), "TIFF");
            EXPECT_EQ(f->getSize().c, c);
            std::vector<uint8_t> back(src.size());
            iflConfig layout(iflUInt8, iflInterleaved, c);
            EXPECT_EQ(f->getTile(0, 0, 0, w, h, 1, back.data(), &layout), iflSuccess);
            f->close();
            EXPECT_TRUE(back == src);
        }
}

TEST(TiffWriter, CompressesTheDefaultAndWritesLargeStrips) {
    testutil::TempDir dir;
    const int w = 300, h = 400;
    std::vector<uint8_t> src = gradient(w, h, 3);
    ASSERT_EQ(writeTiff(dir / "lzw.tif", src, w, h, 3, iflCompressionDefault), iflSuccess);
    ASSERT_EQ(writeTiff(dir / "raw.tif", src, w, h, 3, iflNoCompression), iflSuccess);
    std::vector<uint8_t> lzw = readFile(dir / "lzw.tif"), raw = readFile(dir / "raw.tif");
    EXPECT_LT(lzw.size() * 2, raw.size());
    // Uncompressed: header, strips of at least 64 KiB (6 for 360000 bytes),
    // and a directory listing them; small strips would list dozens.
    EXPECT_LT(raw.size(), size_t(w) * h * 3 + 300);
}

TEST(TiffWriter, WritesJpegForRgbAndRefusesItForAlpha) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    std::vector<uint8_t> src(size_t(w) * h * 3);
    for (size_t i = 0; i < src.size(); ++i) src[i] = uint8_t(100 + (i % 3) * 40);
    ASSERT_EQ(writeTiff(dir / "j.tif", src, w, h, 3, iflJPEGCompression), iflSuccess);
    iflStatus st;
    iflFile* f = iflFile::open(-1, (dir / "j.tif").c_str(), 0, nullptr, &st);
    ASSERT_NE(f, nullptr);
    std::vector<uint8_t> back(src.size());
    iflConfig layout(iflUInt8, iflInterleaved, 3);
    ASSERT_EQ(f->getTile(0, 0, 0, w, h, 1, back.data(), &layout), iflSuccess);
    f->close();
    for (size_t i = 0; i < src.size(); ++i) ASSERT_NEAR(back[i], src[i], 3) << i;
    EXPECT_EQ(writeTiff(dir / "a.tif", gradient(w, h, 4), w, h, 4, iflJPEGCompression), iflErrUnsupported);
    EXPECT_FALSE(testutil::fileExists(dir / "a.tif"));
}

namespace {

// Overwrites the compressed data of the given strips with 0xFF bytes, which
// LZW cannot decode (the first code names an entry its table lacks).
void damageStrips(const std::string& path, std::initializer_list<uint32_t> which) {
    TIFF* t = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    std::vector<uint64_t> offsets(TIFFNumberOfStrips(t));
    for (uint32_t s = 0; s < offsets.size(); ++s) offsets[s] = TIFFGetStrileOffset(t, s);
    TIFFClose(t);
    std::vector<uint8_t> bytes = readFile(path);
    for (uint32_t s : which) {
        ASSERT_LT(s, offsets.size());
        std::fill_n(bytes.begin() + ptrdiff_t(offsets[s]), 8, 0xFF);
    }
    testutil::writeFile(path, bytes);
}

}  // namespace

// Large strip files are decoded on two threads, each half of the strips
// through its own handle; the rows must be exactly those of the one-thread
// path, the last short strip included, and damage in either half must fail.
TEST(TiffReader, DecodesLargeStripFilesInTwoHalvesExactly) {
    testutil::TempDir dir;
    const int w = 2000, h = 1003;  // 2 MP; the last strip is short
    for (int c : {3, 4}) {
        SCOPED_TRACE("channels " + std::to_string(c));
        std::vector<uint8_t> src = gradient(w, h, c);
        std::string path = dir / "big.tif";
        ASSERT_EQ(writeTiff(path, src, w, h, c, iflLZW), iflSuccess);
        // Read as whole RGBA rows (the two-thread path) and as the file's own
        // channels (one thread).
        iflStatus st;
        iflFile* f = iflFile::open(-1, path.c_str(), 0, nullptr, &st);
        ASSERT_NE(f, nullptr);
        Picture rgba = readAll(f, kRgbaChannels);
        ASSERT_EQ(rgba.status, iflSuccess);
        bool same = true;
        for (size_t i = 0, n = size_t(w) * h; i < n && same; ++i)
            same = std::equal(&src[i * c], &src[i * c] + c, &rgba.px[i * 4]) && (c == 4 || rgba.px[i * 4 + 3] == 255);
        EXPECT_TRUE(same) << "the two-thread decoding differs from the source";

        for (auto damaged : {std::initializer_list<uint32_t>{80}, {3}, {3, 80}}) {
            ASSERT_EQ(writeTiff(path, src, w, h, c, iflLZW), iflSuccess);
            damageStrips(path, damaged);
            testutil::QuietStderr quiet;
            f = iflFile::open(-1, path.c_str(), 0, nullptr, &st);
            ASSERT_NE(f, nullptr);
            EXPECT_EQ(readAll(f, kRgbaChannels).status, iflErrCorrupt) << "strip " << *damaged.begin();
        }
    }
}
