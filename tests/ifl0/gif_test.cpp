// GIF reading: colour maps, transparency, interlacing, frames placed on the
// screen, and hostile or damaged files failing cleanly.
#include "ifl0.h"
#include "picture.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <array>
#include <fcntl.h>
#include <unistd.h>
#include <vector>

namespace {

using Rgb = std::array<uint8_t, 3>;
using Bytes = std::vector<uint8_t>;
using testutil::kRGBA;
using testutil::Picture;
using testutil::QuietStderr;
using testutil::readPicture;

const int kProgram[4] = {0, 1, 2, 0};  // the program's own reading layout
const Rgb kFour[4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 255}};

Bytes fixture(const char* name) { return testutil::readFile(testutil::dataPath(std::string("gif/") + name)); }

Rgb pattern(int x, int y) { return kFour[(x + 2 * y) % 4]; }

void expectPixel(const Picture& pic, int x, int y, Rgb rgb, int alpha) {
    const uint8_t* p = pic.at(x, y);
    EXPECT_EQ(p[0], rgb[0]) << "at " << x << "," << y;
    EXPECT_EQ(p[1], rgb[1]) << "at " << x << "," << y;
    EXPECT_EQ(p[2], rgb[2]) << "at " << x << "," << y;
    EXPECT_EQ(p[3], alpha) << "at " << x << "," << y;
}

// A GIF built byte by byte. The image data is LZW with 8-bit literals only
// (a clear code before the table would widen the codes), so any index
// pattern can be stored, including indices beyond the colour map.
struct GifSpec {
    int screenW = 4, screenH = 4;
    std::vector<Rgb> globalMap = {kFour[0], kFour[1], kFour[2], kFour[3]};
    Bytes beforeImage;  // raw extension records
    int left = 0, top = 0, w = 4, h = 4;
    bool interlaced = false;
    std::vector<Rgb> localMap;
    Bytes indices;  // w x h, top row first
};

void put16(Bytes& b, int v) {
    b.push_back(uint8_t(v & 255));
    b.push_back(uint8_t(v >> 8));
}

// Appends a colour table padded to a power of two; returns its size field.
int putMap(Bytes& b, const std::vector<Rgb>& map) {
    int bits = 1;
    while ((1u << bits) < map.size()) ++bits;
    for (size_t i = 0; i < (1u << bits); ++i) {
        Rgb c = i < map.size() ? map[i] : Rgb{0, 0, 0};
        b.insert(b.end(), c.begin(), c.end());
    }
    return bits - 1;
}

Bytes lzwLiterals(const Bytes& indices) {
    Bytes packed;
    uint32_t acc = 0;
    int nbits = 0;
    auto code = [&](int c) {
        acc |= uint32_t(c) << nbits;
        nbits += 9;
        while (nbits >= 8) {
            packed.push_back(uint8_t(acc & 255));
            acc >>= 8;
            nbits -= 8;
        }
    };
    for (size_t i = 0; i < indices.size(); ++i) {
        if (i % 200 == 0) code(256);
        code(indices[i]);
    }
    code(257);
    if (nbits) packed.push_back(uint8_t(acc));
    Bytes out = {8};
    for (size_t i = 0; i < packed.size(); i += 255) {
        size_t n = std::min<size_t>(255, packed.size() - i);
        out.push_back(uint8_t(n));
        out.insert(out.end(), packed.begin() + i, packed.begin() + i + n);
    }
    out.push_back(0);
    return out;
}

Bytes buildGif(const GifSpec& s) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    put16(b, s.screenW);
    put16(b, s.screenH);
    Bytes map;
    int gbits = s.globalMap.empty() ? 0 : putMap(map, s.globalMap);
    b.push_back(uint8_t(s.globalMap.empty() ? 0 : 0x80 | gbits));
    b.push_back(0);
    b.push_back(0);
    b.insert(b.end(), map.begin(), map.end());
    b.insert(b.end(), s.beforeImage.begin(), s.beforeImage.end());
    b.push_back(0x2C);
    put16(b, s.left);
    put16(b, s.top);
    put16(b, s.w);
    put16(b, s.h);
    map.clear();
    int lbits = s.localMap.empty() ? 0 : putMap(map, s.localMap);
    b.push_back(uint8_t((s.localMap.empty() ? 0 : 0x80 | lbits) | (s.interlaced ? 0x40 : 0)));
    b.insert(b.end(), map.begin(), map.end());
    Bytes rows;
    auto addRow = [&](int y) { rows.insert(rows.end(), s.indices.begin() + y * s.w, s.indices.begin() + (y + 1) * s.w); };
    if (s.interlaced) {
        const int start[4] = {0, 4, 2, 1}, step[4] = {8, 8, 4, 2};
        for (int p = 0; p < 4; ++p)
            for (int y = start[p]; y < s.h; y += step[p]) addRow(y);
    } else {
        for (int y = 0; y < s.h; ++y) addRow(y);
    }
    Bytes data = lzwLiterals(rows);
    b.insert(b.end(), data.begin(), data.end());
    b.push_back(0x3B);
    return b;
}

Bytes controlBlock(int transparent) {
    return {0x21, 0xF9, 4, uint8_t(transparent >= 0 ? 1 : 0), 0, 0, uint8_t(transparent >= 0 ? transparent : 0), 0};
}

}  // namespace

TEST(GifReader, ReadsGlobalMapIn87aAnd89a) {
    for (const char* name : {"pattern87.gif", "pattern89.gif"}) {
        SCOPED_TRACE(name);
        Picture pic;
        ASSERT_EQ(readPicture(fixture(name), pic), iflSuccess);
        EXPECT_EQ(pic.w, 8);
        EXPECT_EQ(pic.h, 6);
        EXPECT_EQ(pic.c, 3);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) expectPixel(pic, x, y, pattern(x, y), 255);
    }
}

TEST(GifReader, ProgramLayoutCopiesRedIntoFourthChannel) {
    Picture pic;
    ASSERT_EQ(readPicture(fixture("pattern89.gif"), pic, kProgram), iflSuccess);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            Rgb c = pattern(x, y);
            const uint8_t* p = pic.at(x, y);
            ASSERT_EQ(Rgb({p[0], p[1], p[2]}), c);
            ASSERT_EQ(p[3], c[0]);
        }
}

TEST(GifReader, LocalMapOverridesGlobalMap) {
    Picture pic;
    ASSERT_EQ(readPicture(fixture("localmap.gif"), pic), iflSuccess);
    EXPECT_EQ(pic.c, 3);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) expectPixel(pic, x, y, pattern(x, y), 255);
}

TEST(GifReader, TransparentIndexReadsAsAlphaZero) {
    Picture pic;
    ASSERT_EQ(readPicture(fixture("transparent.gif"), pic), iflSuccess);
    EXPECT_EQ(pic.c, 4);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) {
            bool clear = (x + 2 * y) % 4 == 3;
            EXPECT_EQ(pic.at(x, y)[3], clear ? 0 : 255) << x << "," << y;
            if (!clear) expectPixel(pic, x, y, pattern(x, y), 255);
        }
}

TEST(GifReader, IndexBeyondColourMapReadsBlack) {
    GifSpec s;
    s.globalMap = {{10, 20, 30}, {40, 50, 60}};
    s.indices = Bytes(16, 1);
    s.indices[5] = 2;    // inside the padded table, beyond the map
    s.indices[6] = 200;  // beyond the table
    Picture pic;
    ASSERT_EQ(readPicture(buildGif(s), pic), iflSuccess);
    expectPixel(pic, 0, 0, {40, 50, 60}, 255);
    expectPixel(pic, 1, 1, {0, 0, 0}, 255);
    expectPixel(pic, 2, 1, {0, 0, 0}, 255);

    s.globalMap.clear();
    ASSERT_EQ(readPicture(buildGif(s), pic), iflSuccess);
    expectPixel(pic, 3, 3, {0, 0, 0}, 255);
}

TEST(GifReader, OnlyTheControlBlockBeforeTheImageCounts) {
    GifSpec s;
    s.indices = Bytes(16, 2);
    // A control block that belongs to a plain-text record does not make the
    // image transparent; a later one does.
    Bytes text = {0x21, 0x01, 12, 0, 0, 0, 0, 4, 0, 4, 0, 1, 1, 0, 0, 2, 'h', 'i', 0};
    s.beforeImage = controlBlock(2);
    s.beforeImage.insert(s.beforeImage.end(), text.begin(), text.end());
    Picture pic;
    ASSERT_EQ(readPicture(buildGif(s), pic), iflSuccess);
    EXPECT_EQ(pic.c, 3);
    expectPixel(pic, 0, 0, kFour[2], 255);

    Bytes again = controlBlock(2);
    s.beforeImage.insert(s.beforeImage.end(), again.begin(), again.end());
    ASSERT_EQ(readPicture(buildGif(s), pic), iflSuccess);
    EXPECT_EQ(pic.c, 4);
    EXPECT_EQ(pic.at(0, 0)[3], 0);
}

// Every way of reading one picture (straight into the caller's rows, through
// a scratch row for a three-channel buffer, a tile inside the picture) gives
// the same pixels.
TEST(GifReader, DeinterlacesAllFourPasses) {
    auto colour = [](int x, int y) {
        int i = (x + 3 * y) % 16;
        return Rgb{uint8_t(16 * i), uint8_t(255 - 16 * i), uint8_t(37 * i % 256)};
    };
    Bytes file = fixture("interlaced.gif");
    Picture pic;
    ASSERT_EQ(readPicture(file, pic), iflSuccess);
    ASSERT_EQ(pic.w, 5);
    ASSERT_EQ(pic.h, 13);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 5; ++x) expectPixel(pic, x, y, colour(x, y), 255);

    Picture rgb;
    ASSERT_EQ(readPicture(file, rgb, kRGBA, 3), iflSuccess);
    for (int y = 0; y < 13; ++y)
        for (int x = 0; x < 5; ++x) ASSERT_EQ(0, memcmp(rgb.at(x, y, 3), pic.at(x, y), 3)) << x << "," << y;

    iflStatus st;
    iflFile* f = iflFile::openMemory(file.data(), file.size(), "i.gif", nullptr, &st);
    ASSERT_TRUE(f);
    Bytes tile(3 * 4 * 4);
    iflConfig layout(iflUInt8, iflInterleaved, 4, kRGBA);
    ASSERT_EQ(f->getTile(1, 6, 0, 3, 4, 1, tile.data(), &layout), iflSuccess);
    f->close();
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 3; ++x) ASSERT_EQ(0, memcmp(&tile[(y * 3 + x) * 4], pic.at(x + 1, y + 6), 4));
}

TEST(GifReader, PlacesSmallFrameAtItsOffsetOnTransparentScreen) {
    const int frame[3][4] = {{0, 1, 2, 3}, {1, 2, 3, 0}, {2, 3, 0, 1}};
    struct Case {
        const char* name;
        int w, h, left, top;
    } cases[] = {{"offset.gif", 10, 8, 5, 4}, {"clipped.gif", 6, 5, 4, 3}, {"noscreen.gif", 5, 5, 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int nchans : {4, 3}) {
            Picture pic;
            ASSERT_EQ(readPicture(fixture(c.name), pic, kRGBA, nchans), iflSuccess);
            ASSERT_EQ(pic.w, c.w);
            ASSERT_EQ(pic.h, c.h);
            EXPECT_EQ(pic.c, 4);
            for (int y = 0; y < c.h; ++y)
                for (int x = 0; x < c.w; ++x) {
                    int fx = x - c.left, fy = y - c.top;
                    bool in = fx >= 0 && fx < 4 && fy >= 0 && fy < 3;
                    Rgb want = in ? kFour[frame[fy][fx]] : Rgb{0, 0, 0};
                    const uint8_t* p = pic.at(x, y, nchans);
                    ASSERT_EQ(Rgb({p[0], p[1], p[2]}), want) << x << "," << y;
                    if (nchans == 4) {
                        ASSERT_EQ(p[3], in ? 255 : 0) << x << "," << y;
                    }
                }
        }
    }
}

TEST(GifReader, ReadsFirstFrameOfAnimation) {
    Picture pic;
    ASSERT_EQ(readPicture(fixture("animated.gif"), pic), iflSuccess);
    EXPECT_EQ(pic.c, 3);
    for (int y = 0; y < 6; ++y)
        for (int x = 0; x < 8; ++x) expectPixel(pic, x, y, pattern(x, y), 255);
}

TEST(GifReader, SkipsThousandsOfExtensionsBeforeTheImage) {
    GifSpec s;
    s.indices = Bytes(16, 0);
    for (int i = 0; i < 5000; ++i) {
        Bytes comment = {0x21, 0xFE, 3, 'a', 'b', 'c', 1, 'd', 0};
        s.beforeImage.insert(s.beforeImage.end(), comment.begin(), comment.end());
    }
    Bytes gcb = controlBlock(1);
    s.beforeImage.insert(s.beforeImage.end(), gcb.begin(), gcb.end());
    Picture pic;
    ASSERT_EQ(readPicture(buildGif(s), pic), iflSuccess);
    EXPECT_EQ(pic.c, 4);
    expectPixel(pic, 2, 2, kFour[0], 255);
}

TEST(GifReader, RefusesHugeScreensAtOpen) {
    for (int side : {30000, 65535}) {
        GifSpec s;
        s.screenW = s.screenH = side;
        s.w = s.h = 1;
        s.indices = {0};
        Bytes file = buildGif(s);
        iflStatus st;
        QuietStderr quiet;
        EXPECT_EQ(iflFile::openMemory(file.data(), file.size(), "huge.gif", nullptr, &st), nullptr);
        EXPECT_EQ(st, iflErrTooLarge);
    }
}

TEST(GifReader, RejectsEveryTruncation) {
    QuietStderr quiet;
    for (const char* name : {"pattern87.gif", "transparent.gif", "interlaced.gif", "offset.gif"}) {
        Bytes whole = fixture(name);
        ASSERT_FALSE(whole.empty());
        // The last byte is the trailer, read by no one: only shorter cuts lose data.
        for (size_t n = 0; n + 1 < whole.size(); ++n) {
            Bytes cut(whole.begin(), whole.begin() + n);
            Picture pic;
            EXPECT_NE(readPicture(cut, pic), iflSuccess) << name << " cut to " << n << " bytes";
        }
    }
}

TEST(GifReader, RejectsHostileStructure) {
    QuietStderr quiet;
    Picture pic;
    Bytes noImage = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B};
    EXPECT_NE(readPicture(noImage, pic), iflSuccess);

    GifSpec empty;
    empty.w = 0;
    EXPECT_NE(readPicture(buildGif(empty), pic), iflSuccess);

    // An extension whose sub-blocks run to the end of the file.
    Bytes endless = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x21, 0xFE};
    for (int i = 0; i < 20000; ++i) endless.insert(endless.end(), {1, 'x'});
    EXPECT_NE(readPicture(endless, pic), iflSuccess);

    // An unknown record type where a record should start.
    Bytes stray = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0, 0, 0, 0x55, 0x3B};
    EXPECT_NE(readPicture(stray, pic), iflSuccess);

    Bytes other = {'G', 'I', 'F', '8', '8', 'a', 1, 0, 1, 0, 0, 0, 0, 0x3B};
    iflStatus st;
    EXPECT_EQ(iflFile::openMemory(other.data(), other.size(), "x", nullptr, &st), nullptr);
    EXPECT_EQ(st, iflErrUnknownFormat);
}
