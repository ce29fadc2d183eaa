// QOI reading (every op, runs across rows, both colour space bytes, damaged
// streams) and writing (byte for byte as the reference encoder writes).
#include "codec.h"
#include "picture.h"
#include "formattest.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstring>
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

const Bytes kEnd = {0, 0, 0, 0, 0, 0, 0, 1};

// A QOI file of w by h with these ops and the end marker.
Bytes qoi(uint32_t w, uint32_t h, uint8_t channels, const Bytes& ops, uint8_t colourspace = 0) {
    Bytes b = {'q', 'o', 'i', 'f'};
    for (uint32_t v : {w, h})
        for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
    b.push_back(channels), b.push_back(colourspace);
    b.insert(b.end(), ops.begin(), ops.end());
    b.insert(b.end(), kEnd.begin(), kEnd.end());
    return b;
}

TEST(QoiReader, ReadsReferenceEncodedFilesAsTheirSourcePictures) {
    for (const char* stem : {"rgb", "rgba", "flat", "linear"}) {
        SCOPED_TRACE(stem);
        Picture mine = decoded(readFile(dataPath(std::string("qoi/") + stem + ".qoi")));
        const std::string source = std::string(stem) == "linear" ? "rgb" : stem;
        Picture png = decoded(readFile(dataPath("qoi/" + source + ".png")));
        EXPECT_EQ(mine.w, png.w);
        EXPECT_EQ(mine.c, std::string(stem) == "rgba" ? 4 : 3);
        EXPECT_EQ(mine.px, png.px);
    }
}

TEST(QoiReader, DecodesEveryOpFromItsRunningState) {
    // 4 by 3, from the start pixel (0, 0, 0, 255) and an index of zeros:
    const Bytes ops = {
        0xfe, 10, 20, 30,             // RGB
        0xff, 10, 20, 30, 128,        // RGBA
        0x40 | 0 << 4 | 3 << 2 | 2,   // DIFF -2, +1, 0
        0xc0 | 2,                     // RUN of 3, from the end of the first row into the second
        0x80 | 40, 0x0f,              // LUMA green +8, red +8 - 8, blue +8 + 7
        0x00 | 0,                     // INDEX 0, never stored: (0, 0, 0, 0)
        0x40 | 0 << 4 | 0 << 2 | 0,   // DIFF -2 each, wrapping to 254
        0xff, 1, 2, 3, 4,             // RGBA
        0x00 | 53,                    // INDEX 53, never stored
        0x00 | 9,                     // INDEX 9, where the first pixel went
    };
    Picture p = decoded(qoi(4, 3, 4, ops));
    const char* want[12] = {"10,20,30,255", "10,20,30,128", "8,21,30,128", "8,21,30,128",
                            "8,21,30,128",  "8,21,30,128",  "8,29,45,128", "0,0,0,0",
                            "254,254,254,0", "1,2,3,4",     "0,0,0,0",     "10,20,30,255"};
    for (int i = 0; i < 12; ++i) EXPECT_EQ(rgbaAt(p, i % 4, i / 4), want[i]) << "pixel " << i;

    // Index 53 holds what was stored there; the reference decoder stores the
    // running pixel after every op, a run's too: the start pixel after a
    // leading run.
    p = decoded(qoi(3, 1, 4, {0xc0 | 0, 0xfe, 9, 9, 9, 0x00 | 53}));
    EXPECT_EQ(rgbaAt(p, 0, 0), "0,0,0,255");
    EXPECT_EQ(rgbaAt(p, 2, 0), "0,0,0,255");

    // An unset slot's 0 goes into slot 0, over (0, 0, 64, 0) that hashes there.
    p = decoded(qoi(3, 1, 4, {0xff, 0, 0, 64, 0, 0x00 | 5, 0x00 | 0}));
    EXPECT_EQ(rgbaAt(p, 0, 0), "0,0,64,0");
    EXPECT_EQ(rgbaAt(p, 2, 0), "0,0,0,0");

    // Without alpha the file's pixels are opaque whatever its ops say.
    p = decoded(qoi(1, 1, 3, {0xff, 1, 2, 3, 4}));
    EXPECT_EQ(p.c, 3);
    EXPECT_EQ(rgbaAt(p, 0, 0), "1,2,3,255");
}

TEST(QoiReader, RefusesDamagedStreamsWithOneLine) {
    EXPECT_TRUE(refusedAs(qoi(2, 1, 3, {0xc0 | 2}), iflErrCorrupt, "QOI: a run goes past the end of the picture"));
    Bytes noEnd = qoi(2, 1, 3, {0xc0 | 1});
    noEnd.back() = 2;
    EXPECT_TRUE(refusedAs(noEnd, iflErrCorrupt, "QOI: no end marker after the pixels"));
    EXPECT_TRUE(refusedAs(qoi(2, 1, 5, {0xc0 | 1}), iflErrCorrupt, "QOI: channel count is neither 3 nor 4"));
    EXPECT_TRUE(refusedAs(qoi(2, 1, 3, {0xc0 | 1}, 2), iflErrCorrupt, "QOI: unknown colour space"));
    EXPECT_TRUE(refusedAs(qoi(0, 1, 3, {}), iflErrCorrupt, "QOI: zero width or height"));
    EXPECT_TRUE(refusedAs(qoi(40000, 3, 3, {}), iflErrTooLarge,
                          "QOI: picture of 40000 by 3 is beyond the size limits"));
    // 63 pixels need two ops at least.
    EXPECT_TRUE(refusedAs(qoi(63, 1, 3, {0xc0 | 61}), iflErrCorrupt, "QOI: truncated data"));
    // Ops whose bytes are cut by the end of the file; the marker's zeros count as index ops.
    EXPECT_TRUE(refusedAs(Bytes({'q', 'o', 'i', 'f', 0, 0, 0, 20, 0, 0, 0, 1, 3, 0, 0xfe, 1, 2, 3, 0xfe, 1,
                                 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
                          iflErrCorrupt, "QOI: truncated data"));

    testutil::QuietStderr quiet;
    for (const char* name : {"rgb.qoi", "rgba.qoi", "flat.qoi"}) {
        SCOPED_TRACE(name);
        testutil::expectDamagedCopiesFailCleanly(readFile(dataPath(std::string("qoi/") + name)), nullptr, 99);
    }
}

// A 47 by 33 picture with runs, small steps, large steps and alpha changes.
Bytes pattern(int w, int h) {
    Bytes v(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &v[size_t(y * w + x) * 4];
            const int k = x < 15 ? 0 : x < 30 ? x : x * 37 + y * 11;
            p[0] = uint8_t(k), p[1] = uint8_t(y * 3 + k / 2), p[2] = uint8_t(k * y), p[3] = uint8_t(x < 40 ? 255 : k);
        }
    return v;
}

TEST(QoiWriter, WritesWhatTheReferenceEncoderWritesAndReadsBackExactly) {
    testutil::TempDir dir;
    for (const char* stem : {"rgb", "rgba", "flat"}) {
        SCOPED_TRACE(stem);
        Picture src = decoded(readFile(dataPath(std::string("qoi/") + stem + ".png")));
        const std::string path = dir / (std::string(stem) + ".qoi");
        ASSERT_EQ(testutil::writePicture(path, src.px, src.w, src.h, 4, iflCompressionDefault, src.c), iflSuccess);
        EXPECT_EQ(readFile(path), readFile(dataPath(std::string("qoi/") + stem + ".qoi")));
    }
    const int w = 47, h = 33;
    const Bytes px = pattern(w, h);
    for (int channels : {3, 4}) {
        SCOPED_TRACE(channels);
        const std::string path = dir / ("p" + std::to_string(channels) + ".qoi");
        ASSERT_EQ(testutil::writePicture(path, px, w, h, 4, iflCompressionDefault, channels), iflSuccess);
        const Bytes file = readFile(path);
        EXPECT_EQ(file[12], channels);
        Picture back = decoded(file);
        ASSERT_EQ(back.c, channels);
        for (size_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(back.px[i], (i % 4 == 3 && channels == 3) ? 255 : px[i]) << "byte " << i;
    }
}

// The two halves of a large picture, encoded at once, join into the file a
// single pass writes (here: the same picture handed over in three channels,
// which the writer reads row by row on one thread).
TEST(QoiWriter, EncodesALargePictureInTwoHalvesAsInOnePass) {
    testutil::TempDir dir;
    const int w = 2000, h = 1000;
    static_assert(int64_t(w) * h >= ifl0::kMinParallelPixels, "large enough for two threads");
    struct Case {
        const char* name;
        uint32_t (*pixel)(int x, int y);  // RGBA word, red in the low byte
    };
    const Case cases[] = {
        {"all the start pixel", [](int, int) { return 0xff000000u; }},
        {"the start pixel into the lower half", [](int, int y) { return y < 600 ? 0xff000000u : 0xff102030u; }},
        {"one colour", [](int, int) { return 0xff405060u; }},
        {"a run across the halves", [](int x, int y) { return y < 400 && x < 5 ? 0xff010203u : 0xff0a0b0cu; }},
        {"noise and bands", [](int x, int y) {
             const uint32_t v = uint32_t(x) * 2654435761u ^ uint32_t(y) * 40503u;
             return (y / 7) % 3 == 0 ? 0x80203040u : (x / 50) % 2 ? v : (v & 0xff030303u) | 0x80000000u;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes px(size_t(w) * h * 4);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x) {
                const uint32_t v = c.pixel(x, y);
                memcpy(&px[(size_t(y) * w + x) * 4], &v, 4);
            }
        for (int channels : {3, 4}) {
            const std::string halves = dir / "halves.qoi", single = dir / "single.qoi";
            ASSERT_EQ(testutil::writePicture(halves, px, w, h, 4, iflCompressionDefault, channels), iflSuccess);
            // Buffers whose pixels are not the file's channels in order, four
            // bytes each: no rows to share with a second thread.
            Bytes rgb(size_t(w) * h * 3), argb(px.size());
            for (size_t i = 0; i < size_t(w) * h; ++i) {
                memcpy(&rgb[3 * i], &px[4 * i], 3);
                argb[4 * i] = px[4 * i + 3];
                memcpy(&argb[4 * i + 1], &px[4 * i], 3);
            }
            const int fromArgb[4] = {3, 0, 1, 2};
            ASSERT_EQ(channels == 3 ? testutil::writePicture(single, rgb, w, h, 3)
                                    : testutil::writePicture(single, argb, w, h, 4, iflCompressionDefault, 4, fromArgb),
                      iflSuccess);
            EXPECT_EQ(readFile(halves), readFile(single)) << channels << " channels";
        }
    }
}

}  // namespace
