// TGA reading (true colour, grey, colour-mapped, run-length, every origin),
// its header-only recognition, and writing.
#include "codec.h"
#include "picture.h"
#include "formattest.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testutil::dataPath;
using testutil::decoded;
using testutil::Picture;
using testutil::readFile;
using testutil::readPicture;
using testutil::refusedAs;
using testutil::rgbaAt;

namespace {

using Bytes = std::vector<uint8_t>;

// A crafted TGA file: the header from these fields, then the ID, the colour
// map and the data. Top-left origin unless the descriptor says otherwise.
struct Tga {
    uint8_t type = 2, depth = 24, descriptor = 0x20;
    uint8_t mapType = 0, mapBits = 0;
    uint16_t mapFirst = 0, mapLength = 0, w = 1, h = 1;
    Bytes id, map, data;

    Bytes bytes() const {
        Bytes b = {uint8_t(id.size()), mapType, type, uint8_t(mapFirst), uint8_t(mapFirst >> 8),
                   uint8_t(mapLength), uint8_t(mapLength >> 8), mapBits, 0, 0, 0, 0,
                   uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), depth, descriptor};
        for (const Bytes* part : {&id, &map, &data}) b.insert(b.end(), part->begin(), part->end());
        return b;
    }
};

TEST(TgaReader, ReadsToolMadeFilesOfEveryKindAndOriginAsTheToolDoes) {
    int files = 0;
    for (const std::string& name : testutil::listDir(dataPath("tga"))) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".tga") != 0) continue;
        SCOPED_TRACE(name);
        ++files;
        const std::string stem = name.substr(0, name.size() - 4);
        Picture mine = decoded(readFile(dataPath("tga/" + name)));
        Picture tool = decoded(readFile(dataPath("tga/" + stem + ".pam")));
        ASSERT_EQ(mine.w, 13);
        ASSERT_EQ(mine.h, 11);
        EXPECT_EQ(mine.c, name.find("rgba32") == 0 ? 4 : 3);
        EXPECT_EQ(mine.px, tool.px);
    }
    EXPECT_EQ(files, 11);
}

TEST(TgaReader, ReadsFifteenAndSixteenBitPixelsWithAlphaOnlyWhenTheHeaderHasIt) {
    // 0x7fff white with the attribute bit clear, 0x8000 black with it set,
    // 0x7c00 red, 0x03e0 green, 0x001f blue, 0x4210 (16, 16, 16) in 5 bits.
    Tga t;
    t.w = 6, t.depth = 16;
    t.data = {0xff, 0x7f, 0x00, 0x80, 0x00, 0x7c, 0xe0, 0x03, 0x1f, 0x00, 0x10, 0x42};
    Picture p = decoded(t.bytes());
    EXPECT_EQ(p.c, 3);
    EXPECT_EQ(rgbaAt(p, 0, 0), "255,255,255,255");
    EXPECT_EQ(rgbaAt(p, 1, 0), "0,0,0,255");
    EXPECT_EQ(rgbaAt(p, 2, 0), "255,0,0,255");
    EXPECT_EQ(rgbaAt(p, 3, 0), "0,255,0,255");
    EXPECT_EQ(rgbaAt(p, 4, 0), "0,0,255,255");
    EXPECT_EQ(rgbaAt(p, 5, 0), "132,132,132,255");

    t.descriptor = 0x21;  // one attribute bit: set is opaque
    p = decoded(t.bytes());
    EXPECT_EQ(p.c, 4);
    EXPECT_EQ(rgbaAt(p, 0, 0), "255,255,255,0");
    EXPECT_EQ(rgbaAt(p, 1, 0), "0,0,0,255");

    t.descriptor = 0x20, t.depth = 15;
    EXPECT_EQ(rgbaAt(decoded(t.bytes()), 0, 0), "255,255,255,255");
}

TEST(TgaReader, LooksColoursUpInMapsOfEveryEntrySizeFromTheirFirstIndex) {
    Tga t;
    t.type = 1, t.depth = 8, t.mapType = 1, t.mapFirst = 10, t.mapLength = 2, t.w = 2;
    t.data = {11, 10};
    t.mapBits = 32, t.map = {1, 2, 3, 4, 5, 6, 7, 8};  // BGRA
    Picture p = decoded(t.bytes());
    EXPECT_EQ(p.c, 4);
    EXPECT_EQ(rgbaAt(p, 0, 0), "7,6,5,8");
    EXPECT_EQ(rgbaAt(p, 1, 0), "3,2,1,4");

    t.mapBits = 24, t.map = {1, 2, 3, 4, 5, 6};
    p = decoded(t.bytes());
    EXPECT_EQ(p.c, 3);
    EXPECT_EQ(rgbaAt(p, 0, 0), "6,5,4,255");

    t.mapBits = 16, t.map = {0x00, 0x7c, 0x1f, 0x00};  // red, blue; no alpha from a map's top bit
    p = decoded(t.bytes());
    EXPECT_EQ(p.c, 3);
    EXPECT_EQ(rgbaAt(p, 0, 0), "0,0,255,255");
    EXPECT_EQ(rgbaAt(p, 1, 0), "255,0,0,255");

    // An unused map in a true-colour file is skipped, as is the ID.
    Tga u;
    u.mapType = 1, u.mapLength = 3, u.mapBits = 24, u.map = Bytes(9, 0xee), u.id = {'h', 'i'};
    u.data = {30, 20, 10};
    EXPECT_EQ(rgbaAt(decoded(u.bytes()), 0, 0), "10,20,30,255");
}

TEST(TgaReader, FollowsRunLengthPacketsAcrossRows) {
    // 3 by 2 grey: a run of 4 (the first row and one more pixel), then 2 raw.
    Tga t;
    t.type = 11, t.depth = 8, t.w = 3, t.h = 2;
    t.data = {0x83, 50, 0x01, 60, 70};
    Picture p = decoded(t.bytes());
    EXPECT_EQ(rgbaAt(p, 2, 0), "50,50,50,255");
    EXPECT_EQ(rgbaAt(p, 0, 1), "50,50,50,255");
    EXPECT_EQ(rgbaAt(p, 1, 1), "60,60,60,255");
    EXPECT_EQ(rgbaAt(p, 2, 1), "70,70,70,255");
}

TEST(TgaReader, RefusesDamagedDataWithOneLine) {
    Tga mapped;
    mapped.type = 1, mapped.depth = 8, mapped.mapType = 1, mapped.mapFirst = 1, mapped.mapLength = 2;
    mapped.mapBits = 24, mapped.map = Bytes(6, 9), mapped.w = 2, mapped.data = {1, 3};
    EXPECT_TRUE(refusedAs(mapped.bytes(), iflErrCorrupt, "TGA: colour-map index 3 is not in the map"));
    mapped.data = {0, 1};
    EXPECT_TRUE(refusedAs(mapped.bytes(), iflErrCorrupt, "TGA: colour-map index 0 is not in the map"));
    mapped.type = 9, mapped.data = {0x81, 3};  // a run of an index past the map
    EXPECT_TRUE(refusedAs(mapped.bytes(), iflErrCorrupt, "colour-map index 3"));

    Tga t;
    t.type = 10, t.w = 2, t.h = 2, t.data = {0x84, 1, 2, 3};  // five pixels for four
    EXPECT_TRUE(refusedAs(t.bytes(), iflErrCorrupt, "TGA: a run-length packet goes past the end of the picture"));
    t.data = {0x81, 1, 2, 3, 0x01, 1, 2, 3};  // two pixels short
    EXPECT_TRUE(refusedAs(t.bytes(), iflErrCorrupt, "TGA: truncated data"));
    t.type = 2, t.data = Bytes(11, 0);
    EXPECT_TRUE(refusedAs(t.bytes(), iflErrCorrupt, "TGA: truncated data"));
    Tga shortMap = mapped;
    shortMap.map.resize(5), shortMap.data.clear();
    EXPECT_TRUE(refusedAs(shortMap.bytes(), iflErrCorrupt, "TGA: truncated colour map"));

    Tga huge;
    huge.w = 40000, huge.h = 3;
    EXPECT_TRUE(refusedAs(huge.bytes(), iflErrTooLarge, "TGA: picture of 40000 by 3 is beyond the size limits"));
}

TEST(TgaSniff, ClaimsOnlyAConsistentHeader) {
    auto claims = [](const Tga& t) {
        Bytes b = t.bytes();
        b.resize(std::max<size_t>(b.size(), 18));
        return ifl0::tgaCodec.sniff(b.data(), b.size());
    };
    Tga good;
    good.data = {1, 2, 3};
    EXPECT_TRUE(claims(good));
    Tga mapped = good;
    mapped.type = 9, mapped.depth = 8, mapped.mapType = 1, mapped.mapLength = 1, mapped.mapBits = 24;
    EXPECT_TRUE(claims(mapped));
    const Bytes head = good.bytes();
    EXPECT_FALSE(ifl0::tgaCodec.sniff(head.data(), 17));

    std::vector<std::pair<const char*, Tga>> bad;
    auto add = [&](const char* why, Tga t) { bad.emplace_back(why, t); };
    Tga t = good;
    t.type = 4, add("unknown type", t);
    t = good, t.type = 0, add("no picture", t);
    t = good, t.w = 0, add("zero width", t);
    t = good, t.h = 0, add("zero height", t);
    t = good, t.depth = 8, add("8 bits of true colour", t);
    t = good, t.descriptor = 0x28, add("alpha bits in 24-bit pixels", t);
    t = good, t.descriptor = 0x60, add("interleaving", t);
    t = good, t.mapType = 2, add("unknown map type", t);
    t = good, t.mapLength = 4, add("a map length without a map", t);
    t = mapped, t.mapType = 0, t.mapLength = 0, add("colour-mapped without a map", t);
    t = mapped, t.mapBits = 8, add("8-bit map entries", t);
    t = mapped, t.mapLength = 0, add("an empty map", t);
    t = mapped, t.depth = 16, add("16-bit indices", t);
    t = good, t.type = 3, t.depth = 16, add("16-bit grey", t);
    for (const auto& [why, craft] : bad) EXPECT_FALSE(claims(craft)) << why;

    // Files of other formats whose first bytes could pass for a TGA header.
    const std::string others[] = {"bmp/pal1.bmp", "pnm/rgb-p6.ppm", "gif/pattern89.gif", "jpeg/grey.jpg",
                                  "ico/rgba32.ico", "qoi/rgb.qoi"};
    for (const std::string& f : others) {
        Bytes b = readFile(dataPath(f));
        EXPECT_FALSE(ifl0::tgaCodec.sniff(b.data(), b.size())) << f;
    }
}

// A 47 by 33 gradient with flat stretches for the runs and an alpha ramp.
Bytes gradient(int w, int h) {
    Bytes v(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &v[size_t(y * w + x) * 4];
            const int flat = x < 20 ? 0 : x;
            p[0] = uint8_t(flat * 5), p[1] = uint8_t(y * 7), p[2] = uint8_t(flat * y), p[3] = uint8_t(255 - flat - y);
        }
    return v;
}

TEST(TgaWriter, WritesRunLengthTrueColourTopRowFirstThatReadsBackExactly) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    const Bytes px = gradient(w, h);
    for (int channels : {3, 4}) {
        SCOPED_TRACE(channels);
        const std::string path = dir / ("g" + std::to_string(channels) + ".tga");
        ASSERT_EQ(testutil::writePicture(path, px, w, h, 4, iflCompressionDefault, channels), iflSuccess);
        const Bytes file = readFile(path);
        ASSERT_GT(file.size(), 18u + 26u);
        EXPECT_EQ(file[2], 10);
        EXPECT_EQ(file[16], channels * 8);
        EXPECT_EQ(file[17], channels == 4 ? 0x28 : 0x20);
        EXPECT_LT(file.size(), size_t(w) * h * channels) << "the runs are packed";
        EXPECT_EQ(std::string(file.end() - 18, file.end() - 1), "TRUEVISION-XFILE.");
        Picture back;
        ASSERT_EQ(readPicture(file, back), iflSuccess);
        ASSERT_EQ(back.c, channels);
        for (size_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(back.px[i], (i % 4 == 3 && channels == 3) ? 255 : px[i]) << "byte " << i;
    }
}

TEST(TgaReader, SurvivesTruncatedAndMutatedFixtures) {
    testutil::QuietStderr quiet;
    for (const std::string& name : testutil::listDir(dataPath("tga"))) {
        if (name.size() < 4 || name.compare(name.size() - 4, 4, ".tga") != 0) continue;
        SCOPED_TRACE(name);
        testutil::expectDamagedCopiesFailCleanly(readFile(dataPath("tga/" + name)), iflFormat::find("TGA"), 777);
    }
}

}  // namespace
