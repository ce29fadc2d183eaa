// Hostile files through the pictrix executable: headers that promise huge
// pictures, looping structures, truncations, and conversions killed midway.
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstring>
#include <random>
#include <sys/wait.h>
#include <unistd.h>

using testutil::run;
using Bytes = std::vector<uint8_t>;
using testutil::crc32;

namespace {

// Every hostile file must be refused or read within these.
constexpr long kMaxRssKiB = testutil::kHostileMaxRssKiB;
constexpr double kMaxSeconds = testutil::kHostileMaxSeconds;

void put16be(Bytes& b, size_t at, unsigned v) { b[at] = uint8_t(v >> 8), b[at + 1] = uint8_t(v); }
void put32le(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}
void append(Bytes& b, const std::string& s) { b.insert(b.end(), s.begin(), s.end()); }
void appendLe(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void appendBe(Bytes& b, uint32_t v, int n) {
    for (int i = n - 1; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
}

void pngChunk(Bytes& b, const char* type, const Bytes& data) {
    appendBe(b, uint32_t(data.size()), 4);
    size_t start = b.size();
    append(b, type);
    b.insert(b.end(), data.begin(), data.end());
    appendBe(b, crc32(&b[start], b.size() - start), 4);
}

// A PNG header of w by h RGBA, then a few bytes of a zlib stream of zeros.
Bytes png(uint32_t w, uint32_t h) {
    Bytes b = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    appendBe(ihdr, w, 4), appendBe(ihdr, h, 4);
    ihdr.insert(ihdr.end(), {8, 6, 0, 0, 0});
    pngChunk(b, "IHDR", ihdr);
    pngChunk(b, "IDAT", {0x78, 0x9c, 0x63, 0x60, 0x18, 0x05, 0xa3, 0x60, 0x14, 0x0c, 0x77, 0x00, 0x00});
    pngChunk(b, "IEND", {});
    return b;
}

// An uncompressed 8-bit grey TIFF of w by h in one strip of 64 bytes,
// whose IFD links to next (0 ends the chain).
Bytes tiff(uint32_t w, uint32_t h, uint32_t next = 0) {
    Bytes b = {'I', 'I', 42, 0};
    appendLe(b, 8, 4);
    const uint32_t entries[][3] = {{256, 4, w},  {257, 4, h},  {258, 3, 8},  {259, 3, 1}, {262, 3, 1},
                                   {273, 4, 0},  {277, 3, 1},  {278, 4, h},  {279, 4, 64}};
    const size_t n = sizeof entries / sizeof entries[0];
    appendLe(b, uint32_t(n), 2);
    for (const auto& e : entries) {
        appendLe(b, e[0], 2), appendLe(b, e[1], 2), appendLe(b, 1, 4);
        appendLe(b, e[2], 4);
    }
    appendLe(b, next, 4);
    put32le(b, 8 + 2 + 5 * 12 + 8, uint32_t(b.size()));  // the strip follows the IFD
    b.resize(b.size() + 64, 0x80);
    return b;
}

Bytes bmp(int32_t w, int32_t h, uint16_t bits = 24, uint32_t compression = 0) {
    Bytes b = {'B', 'M'};
    appendLe(b, 14 + 40 + 64, 4), appendLe(b, 0, 4), appendLe(b, 14 + 40, 4);
    appendLe(b, 40, 4), appendLe(b, uint32_t(w), 4), appendLe(b, uint32_t(h), 4);
    appendLe(b, 1, 2), appendLe(b, bits, 2), appendLe(b, compression, 4);
    for (int i = 0; i < 5; ++i) appendLe(b, 0, 4);
    b.resize(b.size() + 64, 0);
    return b;
}

// A GIF screen of sw by sh holding a frame of fw by fh at (0, top), with
// one short sub-block of LZW data.
Bytes gif(unsigned sw, unsigned sh, unsigned fw, unsigned fh, unsigned top = 0) {
    Bytes b;
    append(b, "GIF89a");
    appendLe(b, sw, 2), appendLe(b, sh, 2), b.insert(b.end(), {0, 0, 0});
    b.push_back(',');
    appendLe(b, 0, 2), appendLe(b, top, 2), appendLe(b, fw, 2), appendLe(b, fh, 2), b.push_back(0);
    b.insert(b.end(), {2, 2, 0x44, 0x01, 0, ';'});
    return b;
}

Bytes pnm(const std::string& header) {
    Bytes b(header.begin(), header.end());
    b.resize(b.size() + 64, 0x55);
    return b;
}

// A lossless WebP of 1 by 1 whose stored size is then rewritten.
Bytes webpLossless(unsigned w, unsigned h) {
    Bytes b;
    append(b, "RIFF");
    appendLe(b, 4 + 8 + 10, 4);
    append(b, "WEBPVP8L");
    appendLe(b, 10, 4);
    b.push_back(0x2f);
    appendLe(b, (w - 1) | ((h - 1) << 14) | (1u << 28), 4);
    b.insert(b.end(), {0x00, 0x07, 0x10, 0x11, 0x00});
    return b;
}

// An extended WebP whose canvas claims w by h, around a 1 by 1 picture.
Bytes webpCanvas(unsigned w, unsigned h) {
    Bytes inner = webpLossless(1, 1);
    Bytes b;
    append(b, "RIFF");
    appendLe(b, uint32_t(4 + 18 + inner.size() - 12), 4);
    append(b, "WEBPVP8X");
    appendLe(b, 10, 4);
    appendLe(b, 0, 4);
    appendLe(b, w - 1, 3), appendLe(b, h - 1, 3);
    b.insert(b.end(), inner.begin() + 12, inner.end());
    return b;
}

// The grey JPEG fixture with its frame header claiming w by h.
Bytes jpeg(unsigned w, unsigned h) {
    Bytes b = testutil::readFile(testutil::dataPath("jpeg/grey.jpg"));
    for (size_t i = 2; i + 9 < b.size(); ++i)
        if (b[i] == 0xff && b[i + 1] == 0xc0) {
            put16be(b, i + 5, h), put16be(b, i + 7, w);
            break;
        }
    return b;
}

// A 24-bit true-colour TGA of w by h, plain or run-length, with 64 bytes of data.
Bytes tga(unsigned w, unsigned h, bool rle = false) {
    Bytes b = {0, 0, uint8_t(rle ? 10 : 2), 0, 0, 0, 0, 0, 0, 0, 0, 0};
    appendLe(b, w, 2), appendLe(b, h, 2), b.insert(b.end(), {24, 0x20});
    b.resize(b.size() + 64, 0x7f);
    return b;
}

// An icon whose one entry is a 32-bit BMP picture of w by h with 64 bytes of data.
Bytes ico(uint32_t w, uint32_t h) {
    Bytes b;
    appendLe(b, 0, 2), appendLe(b, 1, 2), appendLe(b, 1, 2);
    b.insert(b.end(), {0, 0, 0, 0}), appendLe(b, 1, 2), appendLe(b, 32, 2);
    appendLe(b, 40 + 64, 4), appendLe(b, 22, 4);
    appendLe(b, 40, 4), appendLe(b, w, 4), appendLe(b, 2 * h, 4), appendLe(b, 1, 2), appendLe(b, 32, 2);
    b.resize(b.size() + 24 + 64, 0);
    return b;
}

// A QOI header of w by h, then 64 bytes of ops.
Bytes qoi(uint32_t w, uint32_t h) {
    Bytes b;
    append(b, "qoif");
    appendBe(b, w, 4), appendBe(b, h, 4), b.insert(b.end(), {4, 0});
    b.resize(b.size() + 64, 0xfd);
    return b;
}

struct Hostile {
    Hostile(const char* n, Bytes b, bool beyond) : name(n), bytes(std::move(b)), beyondModel(beyond) {}
    Hostile(const char* n, const std::string& file, bool beyond)
        : Hostile(n, testutil::readFile(file), beyond) {}
    const char* name;
    Bytes bytes;
    bool beyondModel;  // refused as too large rather than as damaged
};

// Runs the driver on a hostile file: it must fail with a 0 by 0 picture,
// quickly, within the memory bound, and say why on one line.
void expectRefusedCheaply(const testutil::TempDir& dir, const Hostile& h) {
    std::string path = dir / h.name;
    testutil::writeFile(path, h.bytes);
    auto r = run({PICTRIX_BIN, path, dir / "out.ppm"});
    SCOPED_TRACE(h.name);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Image Size X: 0 Y: 0"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.rfind("ifl0: " + path + ": ", 0), 0u) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    if (h.beyondModel) {
        EXPECT_NE(r.err.find("beyond the size limits"), std::string::npos) << r.err;
    }
    EXPECT_LT(r.maxRssKiB, kMaxRssKiB);
    EXPECT_LT(r.seconds, kMaxSeconds);
    printf("%-22s peak %5ld KiB  %.3f s\n", h.name, r.maxRssKiB, r.seconds);
}

}  // namespace

TEST(HostileFiles, HeadersBeyondThePictureModelAreRefusedFastInLittleMemory) {
    testutil::TempDir dir;
    const Hostile files[] = {
        {"huge.png", png(30000, 30000), true},
        {"huge.tif", tiff(30000, 30000), true},
        {"huge.bmp", bmp(30000, 30000), true},
        {"huge-topdown.bmp", bmp(30000, -30000), true},
        {"huge.gif", gif(30000, 30000, 30000, 30000), true},
        {"huge-screen.gif", gif(40000, 40000, 1, 1), true},
        {"huge.ppm", pnm("P6\n30000 30000\n255\n"), true},
        {"huge-pam.pam", pnm("P7\nWIDTH 30000\nHEIGHT 30000\nDEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"), true},
        {"huge.jpg", jpeg(30000, 30000), true},
        {"huge-canvas.webp", webpCanvas(30000, 30000), false},
        {"huge.jxl", testutil::jxlHeader(30000, 30000), true},
        {"many-channels.jxl", testutil::jxlHeader(16000, 16000, 4095), true},
        {"wide.png", png(65535, 1), true},
        {"max.png", png(0x7fffffff, 0x7fffffff), true},
        {"huge.tga", tga(30000, 30000), true},
        {"huge.ico", ico(30000, 30000), true},
        {"huge.qoi", qoi(30000, 30000), true},
        {"max.qoi", qoi(0xffffffff, 0xffffffff), true},
    };
    for (const auto& h : files) expectRefusedCheaply(dir, h);
}

// Pictures the model allows, from files far too short to hold them: the
// readers find out before writing gigabytes.
TEST(HostileFiles, HugePicturesWithoutTheirDataFailFastInLittleMemory) {
    testutil::TempDir dir;
    const Hostile files[] = {
        {"model.png", png(16383, 16383), false},
        {"model.tif", tiff(16383, 16383), false},
        {"model.bmp", bmp(16383, 16383), false},
        {"model-frame.gif", gif(16383, 16383, 16383, 16383), false},
        {"model-offset.gif", gif(32767, 16383, 32767, 383, 16000), false},
        {"model.ppm", pnm("P6\n16383 16383\n255\n"), false},
        {"model-ascii.pgm", pnm("P2\n16383 16383\n255\n"), false},
        {"model.pbm", pnm("P4\n32767 16383\n"), false},
        {"model.jpg", jpeg(16383, 16383), false},
        {"model-lossless.webp", webpLossless(16383, 16383), false},
        {"model.jxl", testutil::jxlHeader(16383, 16383), false},
        {"model-channels.jxl", testutil::jxlHeader(8192, 8192, 3), false},
        {"model.tga", tga(16383, 16383), false},
        {"model-rle.tga", tga(16383, 16383, true), false},
        {"model.ico", ico(16383, 16383), false},
        {"model.qoi", qoi(16383, 16383), false},
        // A 1 by 1 picture in one 8192 by 8192 RGBA tile of 64 bytes.
        {"huge-tile.tif", testutil::dataPath("../../fuzz/regressions/tiff/huge-tile.tif"), false},
    };
    for (const auto& h : files) expectRefusedCheaply(dir, h);
}

TEST(HostileFiles, LoopingTiffDirectoryChainsEnd) {
    testutil::TempDir dir;
    for (uint32_t next : {8u, 0x7ffffff0u}) {  // itself; far beyond the end
        std::string path = dir / "loop.tif";
        testutil::writeFile(path, tiff(4, 4, next));
        // Converted, so that no window opens for the picture.
        auto r = run({PICTRIX_BIN, path, dir / "out.ppm"});
        EXPECT_LT(r.seconds, kMaxSeconds);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_NE(r.out.find("Image Size X: 4 Y: 4"), std::string::npos) << r.out;
    }
}

TEST(HostileFiles, EndlessGifExtensionsEnd) {
    testutil::TempDir dir;
    // Two million one-byte comment sub-blocks before any image.
    Bytes b;
    append(b, "GIF89a");
    b.insert(b.end(), {1, 0, 1, 0, 0, 0, 0});
    b.insert(b.end(), {'!', 0xfe});
    for (int i = 0; i < 2000000; ++i) b.insert(b.end(), {1, 'x'});
    b.push_back(0);
    std::string path = dir / "comments.gif";
    testutil::writeFile(path, b);
    auto r = run({PICTRIX_BIN, path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ifl0: " + path + ": GIF: too many blocks before the first image\n");
    EXPECT_LT(r.seconds, kMaxSeconds);
    EXPECT_LT(r.maxRssKiB, kMaxRssKiB);

    // Sub-blocks that never end: the data runs out first.
    b.resize(b.size() - 1);
    b.resize(13 + 2 + 2 * 1000);
    testutil::writeFile(path, b);
    r = run({PICTRIX_BIN, path});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("ifl0: " + path + ": GIF: corrupt or truncated GIF", 0), 0u) << r.err;
}

// One sample of each format, cut at every sixteenth of its length.
TEST(HostileFiles, TruncatedSamplesFailCleanlyThroughTheDriver) {
    const char* samples[] = {"jpeg/quads.jpg", "png/../../../samples/sunrise.png", "tiff/rgb-lzw.tif",
                             "pnm/rgb-p6.ppm", "bmp/rgb24.bmp", "gif/pattern89.gif", "webp/lossy.webp",
                             "jxl/lossless.jxl", "tga/rgb24-rle.tga", "tga/mapped.tga", "ico/png.ico",
                             "ico/pal4-mask.ico", "qoi/rgb.qoi"};
    testutil::TempDir dir;
    for (const char* s : samples) {
        Bytes whole = testutil::readFile(testutil::dataPath(s));
        ASSERT_GT(whole.size(), 16u) << s;
        std::string ending = std::string(s).substr(std::string(s).rfind('.'));
        for (int k = 1; k < 16; ++k) {
            std::string path = dir / ("cut" + std::to_string(k) + ending);
            testutil::writeFile(path, Bytes(whole.begin(), whole.begin() + whole.size() * k / 16));
            auto r = run({PICTRIX_BIN, path, dir / "out.ppm"});
            SCOPED_TRACE(std::string(s) + " cut at " + std::to_string(k) + "/16");
            EXPECT_EQ(r.status, 1);
            const std::string loaded = "\nImage Size X: 0 Y: 0\n\n";
            EXPECT_TRUE(r.out == loaded || r.out == "Could not open file:" + path + ":\n" + loaded) << r.out;
            EXPECT_EQ(r.err.rfind("ifl0: " + path + ": ", 0), 0u) << r.err;
            EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
            EXPECT_FALSE(testutil::fileExists(dir / "out.ppm"));
        }
    }
}

// One rule, one message: every reader's oversized header is refused in the
// same words, with the size the header claims.
TEST(HostileFiles, EveryReaderStatesTheSizeLimitsInTheSameWords) {
    testutil::TempDir dir;
    const std::pair<const char*, Bytes> files[] = {
        {"PNG", png(40000, 3)},  {"TIFF", tiff(40000, 3)},          {"BMP", bmp(40000, 3)},
        {"GIF", gif(40000, 3, 1, 1)}, {"PNM", pnm("P6\n40000 3\n255\n")}, {"JPEG", jpeg(40000, 3)},
        {"JXL", testutil::jxlHeader(40000, 3)},
        {"TGA", tga(40000, 3)},  {"ICO", ico(40000, 3)},            {"QOI", qoi(40000, 3)},
    };
    for (const auto& [format, bytes] : files) {
        const std::string path = dir / (std::string("huge-") + format);
        testutil::writeFile(path, bytes);
        auto r = run({PICTRIX_BIN, path, dir / "out.ppm"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "ifl0: " + path + ": " + format +
                             ": picture of 40000 by 3 is beyond the size limits (sides 1 to 32767, at most 2 GiB "
                             "of RGBA)\n");
    }
}
