// PNM reading (P1 to P7) and PPM/PAM writing.
#include "codec.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

using testutil::dataPath;
using testutil::readFile;

namespace {

struct Decoded {
    iflStatus openStatus = iflErrBadParams;
    iflStatus readStatus = iflErrBadParams;
    iflSize size;
    std::vector<uint8_t> rgba;  // upright, 4 bytes per pixel
};

Decoded decode(const std::vector<uint8_t>& bytes) {
    Decoded d;
    iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "test.pnm", nullptr, &d.openStatus);
    if (!f) return d;
    d.size = f->getSize();
    d.rgba.assign(size_t(d.size.x) * size_t(d.size.y) * 4, 0);
    iflConfig layout(iflUInt8, iflInterleaved, 4);
    d.readStatus = f->getTile(0, 0, 0, d.size.x, d.size.y, 1, d.rgba.data(), &layout);
    f->close();
    return d;
}

Decoded decode(const std::string& s) { return decode(std::vector<uint8_t>(s.begin(), s.end())); }
Decoded decodeFile(const std::string& name) { return decode(readFile(dataPath("pnm/" + name))); }

// The 4x3 pattern behind the rgb fixtures (see tests/data/pnm/README.md).
const uint8_t kRgb[12][3] = {{255, 0, 0}, {0, 255, 0},    {0, 0, 255},     {255, 255, 255},
                             {0, 0, 0},   {128, 64, 32},  {10, 200, 100},  {255, 255, 0},
                             {1, 2, 3},   {254, 253, 252}, {0, 128, 255},  {77, 77, 77}};
const uint8_t kGrey[12] = {0, 17, 34, 51, 68, 85, 102, 119, 136, 200, 254, 255};
const uint8_t kAlpha[12] = {255, 0, 128, 64, 1, 2, 3, 4, 250, 251, 252, 253};
const char* kBits[2] = {"1010011100", "0000000001"};

void expectRgb(const Decoded& d, bool alpha) {
    ASSERT_EQ(d.readStatus, iflSuccess);
    ASSERT_EQ(d.size.x, 4);
    ASSERT_EQ(d.size.y, 3);
    EXPECT_EQ(d.size.c, alpha ? 4 : 3);
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(d.rgba[4 * i + 0], kRgb[i][0]);
        EXPECT_EQ(d.rgba[4 * i + 1], kRgb[i][1]);
        EXPECT_EQ(d.rgba[4 * i + 2], kRgb[i][2]);
        EXPECT_EQ(d.rgba[4 * i + 3], alpha ? kAlpha[i] : 255);
    }
}

void expectGrey(const Decoded& d, bool alpha) {
    ASSERT_EQ(d.readStatus, iflSuccess);
    ASSERT_EQ(d.size.x, 4);
    ASSERT_EQ(d.size.y, 3);
    EXPECT_EQ(d.size.c, alpha ? 4 : 3);
    for (int i = 0; i < 12; ++i) {
        SCOPED_TRACE(i);
        for (int k = 0; k < 3; ++k) EXPECT_EQ(d.rgba[4 * i + k], kGrey[i]);
        EXPECT_EQ(d.rgba[4 * i + 3], alpha ? kAlpha[i] : 255);
    }
}

void expectBits(const Decoded& d) {
    ASSERT_EQ(d.readStatus, iflSuccess);
    ASSERT_EQ(d.size.x, 10);
    ASSERT_EQ(d.size.y, 2);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 10; ++x) {
            uint8_t want = kBits[y][x] == '1' ? 0 : 255;  // 1 is black
            const uint8_t* p = &d.rgba[size_t(y * 10 + x) * 4];
            EXPECT_EQ(p[0], want) << x << "," << y;
            EXPECT_EQ(p[1], want);
            EXPECT_EQ(p[2], want);
            EXPECT_EQ(p[3], 255);
        }
}

TEST(PnmReader, ReadsEveryNetpbmVariant) {
    {
        SCOPED_TRACE("P6");
        expectRgb(decodeFile("rgb-p6.ppm"), false);
    }
    {
        SCOPED_TRACE("P3");
        expectRgb(decodeFile("rgb-p3.ppm"), false);
    }
    {
        SCOPED_TRACE("P5");
        expectGrey(decodeFile("grey-p5.pgm"), false);
    }
    {
        SCOPED_TRACE("P2");
        expectGrey(decodeFile("grey-p2.pgm"), false);
    }
    {
        SCOPED_TRACE("P4");
        expectBits(decodeFile("bits-p4.pbm"));
    }
    {
        SCOPED_TRACE("P1");
        expectBits(decodeFile("bits-p1.pbm"));
    }
    {
        SCOPED_TRACE("P7 RGB");
        expectRgb(decodeFile("rgb.pam"), false);
    }
    {
        SCOPED_TRACE("P7 RGB_ALPHA");
        expectRgb(decodeFile("rgba.pam"), true);
    }
    {
        SCOPED_TRACE("P7 GRAYSCALE_ALPHA");
        expectGrey(decodeFile("greyalpha.pam"), true);
    }
    {
        SCOPED_TRACE("P7 BLACKANDWHITE");
        expectBits(decodeFile("bits.pam"));
    }
}

TEST(PnmReader, ScalesSamplesToNearest8BitValue) {
    // Two-byte samples and maxval 1000 hold every 8-bit value exactly.
    expectRgb(decodeFile("rgb-maxval65535.ppm"), false);
    expectRgb(decodeFile("rgb-maxval1000.ppm"), false);

    Decoded d = decodeFile("grey-maxval15.pgm");
    ASSERT_EQ(d.readStatus, iflSuccess);
    std::vector<uint8_t> raw = readFile(dataPath("pnm/grey-maxval15.pgm"));
    for (int i = 0; i < 12; ++i) {
        unsigned v = raw[raw.size() - 12 + size_t(i)];
        ASSERT_LE(v, 15u);
        EXPECT_EQ(d.rgba[4 * i], (v * 255 + 7) / 15) << i;
    }

    d = decode(std::string("P2 3 1 1 0 1 0"));
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.rgba[0], 0);
    EXPECT_EQ(d.rgba[4], 255);

    // 1000: (v * 255 + 500) / 1000 rounds 2 -> 1 and 998 -> 254.
    d = decode(std::string("P3 3 1 1000 2 998 1000 0 1 3 500 501 499"));
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.rgba[0], 1);
    EXPECT_EQ(d.rgba[1], 254);
    EXPECT_EQ(d.rgba[2], 255);
    EXPECT_EQ(d.rgba[4], 0);
    EXPECT_EQ(d.rgba[5], 0);
    EXPECT_EQ(d.rgba[6], 1);
    EXPECT_EQ(d.rgba[8], 128);
    EXPECT_EQ(d.rgba[9], 128);
    EXPECT_EQ(d.rgba[10], 127);

    std::string wide("P5 2 1 65535\n");
    wide += std::string("\x80\x00\xff\xff", 4);
    d = decode(wide);
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.rgba[0], 128);
    EXPECT_EQ(d.rgba[4], 255);
}

TEST(PnmReader, AcceptsCommentsAnywhereInTheHeader) {
    std::string p6 = "P6#after magic\n2#after width\n#own line\n 1 # before maxval\n255#directly after maxval\n";
    p6 += std::string("\x01\x02\x03\x04\x05\x06", 6);
    Decoded d = decode(p6);
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(std::vector<uint8_t>(d.rgba.begin(), d.rgba.end()),
              (std::vector<uint8_t>{1, 2, 3, 255, 4, 5, 6, 255}));

    // Plain bitmaps need no separators between digits; comments may sit in the data.
    d = decode(std::string("P1\n# c\n3 2\n1#x\n01\n\n0 1 0"));
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.rgba[0], 0);
    EXPECT_EQ(d.rgba[4], 255);
    EXPECT_EQ(d.rgba[8], 0);
    EXPECT_EQ(d.rgba[12], 255);
    EXPECT_EQ(d.rgba[16], 0);
    EXPECT_EQ(d.rgba[20], 255);

    d = decode(std::string("P7\n# c\nWIDTH 1\n#c\nHEIGHT 1\nDEPTH 1\nMAXVAL 255\n# c\nENDHDR\n\x2a"));
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.size.c, 3);
    EXPECT_EQ(d.rgba[0], 42);
    EXPECT_EQ(d.rgba[2], 42);
}

TEST(PnmReader, RejectsTruncatedFiles) {
    struct Case {
        const char* name;
        bool binary;
    } cases[] = {{"rgb-p6.ppm", true},  {"rgb-p3.ppm", false}, {"grey-p5.pgm", true},
                 {"grey-p2.pgm", false}, {"bits-p4.pbm", true}, {"bits-p1.pbm", false},
                 {"rgb-maxval65535.ppm", true}, {"rgba.pam", true}};
    for (const Case& c : cases) {
        const std::string name = c.name;
        std::vector<uint8_t> bytes = readFile(dataPath("pnm/" + name));
        // Cutting inside the data and inside the header both fail; a binary
        // body one byte short fails too.
        std::vector<size_t> cuts = {bytes.size() * 3 / 4, 6, 2};
        if (c.binary) cuts.push_back(bytes.size() - 1);
        for (size_t keep : cuts) {
            SCOPED_TRACE(name + " cut to " + std::to_string(keep));
            Decoded d = decode(std::vector<uint8_t>(bytes.begin(), bytes.begin() + long(keep)));
            EXPECT_TRUE(d.openStatus != iflSuccess || d.readStatus == iflErrCorrupt);
            EXPECT_NE(d.openStatus == iflSuccess ? d.readStatus : d.openStatus, iflSuccess);
        }
    }
    // A binary header needs the one whitespace character before the data.
    EXPECT_EQ(decode(std::string("P5 1 1 255")).openStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\n")).openStatus, iflErrCorrupt);
}

TEST(PnmReader, RejectsSamplesAboveMaxval) {
    EXPECT_EQ(decode(std::string("P5 2 1 100\n\x64\x65")).readStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P2 2 1 100 100 101")).readStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P3 1 1 1000 0 0 1001")).readStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P5 1 1 1000\n\x03\xe9", 14)).readStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P1 2 1 1 2")).readStatus, iflErrCorrupt);
}

TEST(PnmReader, RejectsBadHeaders) {
    EXPECT_EQ(decode(std::string("P6 0 1 255\n")).openStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P6 1 1 0\n...")).openStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P6 1 1 65536\n......")).openStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P6 -1 1 255\n...")).openStatus, iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 5\nMAXVAL 255\nENDHDR\n.....")).openStatus,
              iflErrUnsupported);
    EXPECT_EQ(
        decode(std::string("P7\nWIDTH 1\nHEIGHT 1\nDEPTH 3\nMAXVAL 255\nTUPLTYPE GRAYSCALE\nENDHDR\n...")).openStatus,
        iflErrCorrupt);
    EXPECT_EQ(decode(std::string("P7\nWIDTH 1\nHEIGHT 1\nMAXVAL 255\nENDHDR\n...")).openStatus, iflErrCorrupt);
}

TEST(PnmReader, RefusesHugePicturesAtOpen) {
    // Nothing picture-sized may be allocated for a header that lies.
    EXPECT_EQ(decode(std::string("P6\n30000 30000\n255\nabc")).openStatus, iflErrTooLarge);
    EXPECT_EQ(decode(std::string("P2 99999999999999999999999 2 255 1")).openStatus, iflErrTooLarge);
    EXPECT_EQ(decode(std::string("P7\nWIDTH 40000\nHEIGHT 1\nDEPTH 4\nMAXVAL 255\nENDHDR\n")).openStatus,
              iflErrTooLarge);
}

TEST(PnmReader, ReadsOnlyTheFirstImage) {
    std::string two = std::string("P5 1 1 255\n\x07") + "P5 2 2 255\n\x01\x02\x03\x04";
    Decoded d = decode(two);
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.size.x, 1);
    EXPECT_EQ(d.size.y, 1);
    EXPECT_EQ(d.rgba[0], 7);
}

TEST(PnmSniff, RecognisesOnlyP1ToP7) {
    const ifl0::Codec& c = ifl0::pnmCodec;
    for (char m = '1'; m <= '7'; ++m) {
        uint8_t b[2] = {'P', uint8_t(m)};
        EXPECT_TRUE(c.sniff(b, 2)) << m;
    }
    const uint8_t p8[] = {'P', '8'}, p0[] = {'P', '0'}, bm[] = {'B', 'M'};
    EXPECT_FALSE(c.sniff(p8, 2));
    EXPECT_FALSE(c.sniff(p0, 2));
    EXPECT_FALSE(c.sniff(bm, 2));
    EXPECT_FALSE(c.sniff(p8, 1));
    EXPECT_EQ(ifl0::pamCodec.sniff, nullptr);
}

// An odd-sized gradient with an alpha ramp.
std::vector<uint8_t> gradient(int w, int h) {
    std::vector<uint8_t> v(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &v[size_t(y * w + x) * 4];
            p[0] = uint8_t(x * 5), p[1] = uint8_t(y * 7), p[2] = uint8_t(x * y), p[3] = uint8_t(255 - x - y);
        }
    return v;
}

// Writes the 4-channel buffer with `channels` file channels, reads it back.
Decoded roundTrip(const std::string& path, const std::vector<uint8_t>& px, int w, int h, int channels,
                  const int* list = nullptr) {
    iflSize size(w, h, channels);
    iflFileConfig config(&size);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &config, nullptr, &st);
    Decoded d;
    if (!f) return d;
    iflConfig layout(iflUInt8, iflInterleaved, 4, list);
    st = f->setTile(0, 0, 0, w, h, 1, px.data(), &layout);
    f->close();
    if (st != iflSuccess) return d;
    return decode(readFile(path));
}

TEST(PnmWriter, RoundTripsOddSizedGradientExactly) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    std::vector<uint8_t> px = gradient(w, h);
    struct Case {
        const char* name;
        int channels;
    } cases[] = {{"g.ppm", 3}, {"g.pnm", 3}, {"g3.pam", 3}, {"g4.pam", 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Decoded d = roundTrip(dir / c.name, px, w, h, c.channels);
        ASSERT_EQ(d.readStatus, iflSuccess);
        ASSERT_EQ(d.size.x, w);
        ASSERT_EQ(d.size.y, h);
        ASSERT_EQ(d.size.c, c.channels);
        for (size_t i = 0; i < px.size(); ++i)
            ASSERT_EQ(d.rgba[i], (i % 4 == 3 && c.channels == 3) ? 255 : px[i]) << "byte " << i;
    }
    std::string ppm = dir / "g.ppm", pam = dir / "g4.pam";
    std::vector<uint8_t> head = readFile(ppm);
    EXPECT_EQ(std::string(head.begin(), head.begin() + 13), "P6\n47 33\n255\n");
    EXPECT_EQ(head.size(), 13u + 47 * 33 * 3);
    head = readFile(pam);
    EXPECT_NE(std::string(head.begin(), head.begin() + 80).find("DEPTH 4\nMAXVAL 255\nTUPLTYPE RGB_ALPHA\nENDHDR\n"),
              std::string::npos);
}

TEST(PnmWriter, UnnamedFileChannelTakesBufferChannelOfSameNumber) {
    // Entry 0 names file channel 3, which PPM lacks; no entry names file
    // channel 0, so it takes buffer channel 0: red survives.
    testutil::TempDir dir;
    const int list[] = {3, 1, 2, 3};
    const std::vector<uint8_t> px = {200, 10, 20, 99, 50, 60, 70, 98};
    Decoded d = roundTrip(dir / "list.ppm", px, 2, 1, 3, list);
    ASSERT_EQ(d.readStatus, iflSuccess);
    EXPECT_EQ(d.rgba, (std::vector<uint8_t>{200, 10, 20, 255, 50, 60, 70, 255}));
}

TEST(PnmWriter, ReportsFullDisk) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const int w = 64, h = 64;
    std::vector<uint8_t> px = gradient(w, h);
    for (const char* name : {"x.ppm", "x.pam"}) {
        iflSize size(w, h, 4);
        iflFileConfig config(&size);
        iflStatus st;
        iflFile* f = iflFile::create(fd, name, nullptr, &config, nullptr, &st);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->setTile(0, 0, 0, w, h, 1, px.data()), iflErrIO) << name;
        f->close();
    }
    ::close(fd);
}

}  // namespace

namespace {

// Every prefix and many single-byte changes of every fixture must decode or
// fail cleanly; the sanitizer build turns any stray read into a failure.
TEST(PnmReader, SurvivesTruncatedAndMutatedFixtures) {
    for (const std::string& name : testutil::listDir(dataPath("pnm"))) {
        if (name.find(".p") == std::string::npos) continue;
        SCOPED_TRACE(name);
        const std::vector<uint8_t> original = readFile(dataPath("pnm/" + name));
        for (size_t n = 0; n < original.size(); ++n) decode(std::vector<uint8_t>(original.begin(), original.begin() + long(n)));
        uint32_t seed = 777;
        for (int i = 0; i < 300; ++i) {
            std::vector<uint8_t> b = original;
            seed = seed * 1103515245 + 12345;
            b[(seed >> 8) % b.size()] = uint8_t(seed >> 24);
            decode(b);
        }
    }
}

}  // namespace

TEST(PnmReader, RefusesPlainDataTooShortForThePictureAtOpen) {
    testing::internal::CaptureStderr();
    // The shortest plain bodies that can hold the picture still read.
    EXPECT_EQ(decode("P1 2 2\n0110").readStatus, iflSuccess);
    EXPECT_EQ(decode("P2 2 1 9\n1 9").readStatus, iflSuccess);
    EXPECT_EQ(decode("P3 1 1 9\n1 2 3").readStatus, iflSuccess);
    // Bodies (counted from the header's last number) shorter than the
    // samples need are refused before any row is decoded.
    EXPECT_EQ(decode("P1 2 2\n01").openStatus, iflErrCorrupt);
    EXPECT_EQ(decode("P2 2 1 9\n1").openStatus, iflErrCorrupt);
    EXPECT_EQ(decode("P3 16383 16383 255\n1 2 3\n").openStatus, iflErrCorrupt);
    testing::internal::GetCapturedStderr();
}
