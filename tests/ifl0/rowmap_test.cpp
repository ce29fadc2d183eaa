// The mapping between stored rows and caller tiles, without files.
#include "rowmap.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace ifl0;

namespace {

// The upright picture
//   a b c
//   d e f
// as a file stores it in each orientation: rows of stored pixels.
struct Stored {
    int w, h;
    const char* rows;
};
const Stored kStored[9] = {
    {0, 0, ""},
    {3, 2, "abcdef"},  // 1: row 0 top, column 0 left
    {3, 2, "cbafed"},  // 2: row 0 top, column 0 right
    {3, 2, "fedcba"},  // 3: row 0 bottom, column 0 right
    {3, 2, "defabc"},  // 4: row 0 bottom, column 0 left
    {2, 3, "adbecf"},  // 5: row 0 left, column 0 top
    {2, 3, "cfbead"},  // 6: row 0 right, column 0 top
    {2, 3, "fcebda"},  // 7: row 0 right, column 0 bottom
    {2, 3, "daebfc"},  // 8: row 0 left, column 0 bottom
};

// Stored rows as RGBA, the letter in byte 0 and its position in byte 1.
std::vector<uint8_t> rgbaRow(const Stored& s, int r) {
    std::vector<uint8_t> row;
    for (int c = 0; c < s.w; ++c) row.insert(row.end(), {uint8_t(s.rows[r * s.w + c]), 1, 2, 3});
    return row;
}

std::string readAll(int fileO, int bufO, int x0 = 0, int y0 = 0, int nx = -1, int ny = -1) {
    const Stored& s = kStored[fileO];
    iflSize seen(s.w, s.h, 4);
    iflMapSize(iflOrientation(fileO), seen, iflOrientation(bufO));
    if (nx < 0) nx = seen.x, ny = seen.y;
    RowMap map = RowMap::make(iflOrientation(fileO), s.w, s.h, iflOrientation(bufO), x0, y0);
    ReadPick pick;
    makeReadPick(1, nullptr, 0, 4, pick);
    std::string tile(size_t(nx * ny), '.');
    for (int r = 0; r < s.h; ++r) {
        auto row = rgbaRow(s, r);
        readRow(map, pick, r, row.data(), s.w, reinterpret_cast<uint8_t*>(&tile[0]), nx, ny);
    }
    return tile;
}

}  // namespace

TEST(RowMap, EveryFileOrientationReadsIntoEveryBufferOrientation) {
    // Reading a file stored in orientation f into a buffer in orientation b
    // yields the picture as a file in orientation b stores it.
    for (int f = 1; f <= 8; ++f)
        for (int b = 1; b <= 8; ++b) EXPECT_EQ(readAll(f, b), kStored[b].rows) << "file " << f << " buffer " << b;
}

TEST(RowMap, TilesAreCutFromTheMappedPicture) {
    EXPECT_EQ(readAll(1, 1, 1, 0, 2, 2), "bcef");
    EXPECT_EQ(readAll(6, 1, 0, 1, 3, 1), "def");
    EXPECT_EQ(readAll(8, 1, 2, 0, 1, 2), "cf");
    EXPECT_EQ(readAll(3, 1, 1, 1, 1, 1), "e");
}

TEST(RowMap, SpanIsEmptyForRowsOutsideTheTile) {
    RowMap map = RowMap::make(iflUpperLeft, 3, 2, iflUpperLeft, 0, 1);
    int c0, c1;
    EXPECT_FALSE(map.span(0, 3, 3, 1, c0, c1));
    ASSERT_TRUE(map.span(1, 3, 3, 1, c0, c1));
    EXPECT_EQ(c0, 0);
    EXPECT_EQ(c1, 3);
}

TEST(RowMap, WritingGathersUprightRowsFromAnyBufferOrientation) {
    for (int b = 1; b <= 8; ++b) {
        const Stored& s = kStored[b];
        std::string buf = s.rows;
        RowMap map = RowMap::make(iflUpperLeft, 3, 2, iflOrientation(b), 0, 0);
        WritePick pick;
        ASSERT_TRUE(makeWritePick(1, nullptr, 0, 1, pick));
        std::string out;
        for (int r = 0; r < 2; ++r) {
            char row[3];
            writeRow(map, pick, r, reinterpret_cast<const uint8_t*>(buf.data()), 1, s.w, 3,
                     reinterpret_cast<uint8_t*>(row));
            out.append(row, 3);
        }
        EXPECT_EQ(out, "abcdef") << "buffer orientation " << b;
    }
}

TEST(ChannelPick, ReadingNamesFileChannelsAndFillsMissingOnesWith255) {
    const int reader[4] = {0, 1, 2, 0};
    ReadPick p;
    ASSERT_TRUE(makeReadPick(4, reader, 0, 3, p));
    EXPECT_EQ(std::vector<int>(p.sel, p.sel + 4), (std::vector<int>{0, 1, 2, 0}));
    const int beyond[4] = {3, 1, 7, -1};
    ASSERT_TRUE(makeReadPick(4, beyond, 0, 3, p));
    EXPECT_EQ(std::vector<int>(p.sel, p.sel + 4), (std::vector<int>{-1, 1, -1, -1}));
    ASSERT_TRUE(makeReadPick(2, nullptr, 1, 4, p));
    EXPECT_EQ(std::vector<int>(p.sel, p.sel + 2), (std::vector<int>{1, 2}));
    EXPECT_FALSE(makeReadPick(0, nullptr, 0, 3, p));
}

TEST(ChannelPick, RemapInPlaceAppliesTheReaderList) {
    const int reader[4] = {0, 1, 2, 0};
    ReadPick p;
    makeReadPick(4, reader, 0, 3, p);
    uint8_t px[8] = {10, 20, 30, 255, 40, 50, 60, 255};
    remapInPlace(p, px, 2);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 8), (std::vector<uint8_t>{10, 20, 30, 10, 40, 50, 60, 40}));
    const int swapped[4] = {2, 1, 0, 3};
    makeReadPick(4, swapped, 0, 3, p);
    remapInPlace(p, px, 1);
    EXPECT_EQ(std::vector<uint8_t>(px, px + 4), (std::vector<uint8_t>{30, 20, 10, 255}));
}

TEST(ChannelPick, FourChannelTilesTakeAlphaFromAnyChannelInEveryOrientation) {
    // The whole-pixel paths (straight rows, mirrored and transposed ones)
    // must agree with the byte-by-byte rule: channel k of a tile pixel is
    // byte sel[k] of the stored pixel, or 255.
    const int lists[][4] = {{0, 1, 2, 0}, {0, 1, 2, 1}, {0, 1, 2, 2}, {0, 1, 2, 3}, {0, 1, 2, -1}, {2, 1, 0, 3}};
    for (int fileChannels : {3, 4})
        for (const auto& list : lists)
            for (int f = 1; f <= 8; ++f) {
                const Stored& s = kStored[f];
                ReadPick pick;
                ASSERT_TRUE(makeReadPick(4, list, 0, fileChannels, pick));
                RowMap map = RowMap::make(iflOrientation(f), s.w, s.h, iflUpperLeft, 0, 0);
                std::vector<uint8_t> tile(6 * 4, 0);
                for (int r = 0; r < s.h; ++r) {
                    std::vector<uint8_t> row;
                    for (int c = 0; c < s.w; ++c) {
                        uint8_t l = uint8_t(s.rows[r * s.w + c]);
                        row.insert(row.end(), {l, uint8_t(l + 100), uint8_t(l + 50),
                                               uint8_t(fileChannels == 4 ? l + 20 : 255)});
                    }
                    readRow(map, pick, r, row.data(), s.w, tile.data(), 3, 2);
                }
                for (int i = 0; i < 6; ++i) {
                    uint8_t l = uint8_t("abcdef"[i]);
                    const uint8_t stored[4] = {l, uint8_t(l + 100), uint8_t(l + 50),
                                               uint8_t(fileChannels == 4 ? l + 20 : 255)};
                    for (int k = 0; k < 4; ++k)
                        EXPECT_EQ(tile[size_t(i * 4 + k)], pick.sel[k] >= 0 ? stored[pick.sel[k]] : 255)
                            << "orientation " << f << " pixel " << i << " channel " << k << " list " << list[3]
                            << " file channels " << fileChannels;
                }
            }
}

TEST(ChannelPick, WritingIgnoresMissingChannelsAndFillsUnnamedOnesBySameNumber) {
    auto src = [](int nchans, std::vector<int> list, int fileChannels) {
        WritePick p;
        EXPECT_TRUE(makeWritePick(nchans, list.data(), 0, fileChannels, p));
        return std::vector<int>(p.src, p.src + fileChannels);
    };
    EXPECT_EQ(src(4, {0, 1, 2, 3}, 3), (std::vector<int>{0, 1, 2}));
    // Red is not lost: file channel 0 is named by no entry and takes buffer channel 0.
    EXPECT_EQ(src(4, {3, 1, 2, 3}, 3), (std::vector<int>{0, 1, 2}));
    EXPECT_EQ(src(4, {3, 2, 1, 0}, 3), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(src(4, {3, 2, 1, 0}, 4), (std::vector<int>{3, 2, 1, 0}));
    EXPECT_EQ(src(4, {0, 2, 1, 3}, 3), (std::vector<int>{0, 2, 1}));
    // The first entry that names a channel wins; an unnamed channel past the buffer's reads 0.
    EXPECT_EQ(src(2, {1, 1}, 4), (std::vector<int>{0, 0, -1, -1}));
}

TEST(MapSize, ExchangesSidesOnlyBetweenTransposedAndPlainOrientations) {
    for (int from = 1; from <= 8; ++from)
        for (int to = 1; to <= 8; ++to) {
            iflSize s(5, 7, 3);
            iflMapSize(iflOrientation(from), s, iflOrientation(to));
            bool swapped = (from >= 5) != (to >= 5);
            EXPECT_EQ(s.x, swapped ? 7 : 5);
            EXPECT_EQ(s.y, swapped ? 5 : 7);
            EXPECT_EQ(s.c, 3);
        }
}
