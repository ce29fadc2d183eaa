// WebP: lossless and lossy pictures with and without alpha, the first frame
// of an animation, damaged files, and writing pictures back.
#include "ifl0.h"
#include "picture.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <array>
#include <cmath>
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

Bytes fixture(const char* name) { return testutil::readFile(testutil::dataPath(std::string("webp/") + name)); }

Rgb pattern(int x, int y) { return kFour[(x + 2 * y) % 4]; }

// Writes a w x h picture of nchans-byte pixels (top row first) and returns
// the status of the whole create / setTile sequence.
iflStatus writePicture(const std::string& path, const Bytes& px, int w, int h, int fileChannels, int nchans,
                       iflCompression compression = iflCompressionDefault, iflOrientation orient = iflUpperLeft) {
    iflSize size(w, h, fileChannels);
    iflFileConfig config(&size, iflUInt8, iflInterleaved, iflColorModelDefault, iflOrientationDefault, compression);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &config, nullptr, &st);
    if (!f) return st;
    Bytes buf(px.size());
    size_t rowBytes = size_t(w) * nchans;
    for (int y = 0; y < h; ++y) {
        int to = orient == iflLowerLeft ? h - 1 - y : y;
        std::copy_n(px.begin() + y * rowBytes, rowBytes, buf.begin() + to * rowBytes);
    }
    iflConfig layout(iflUInt8, iflInterleaved, nchans, kRGBA, 0, orient);
    st = f->setTile(0, 0, 0, w, h, 1, buf.data(), &layout);
    f->close();
    return st;
}

// 47 x 33 RGBA: smooth colour ramps, alpha falling from left to right.
Bytes gradient(int nchans) {
    Bytes px;
    for (int y = 0; y < 33; ++y)
        for (int x = 0; x < 47; ++x) {
            px.insert(px.end(), {uint8_t(x * 5), uint8_t(y * 7), uint8_t(128 + x - y)});
            if (nchans == 4) px.push_back(uint8_t(255 - x * 5));
        }
    return px;
}

double psnr(const Bytes& a, const Bytes& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += (double(a[i]) - b[i]) * (double(a[i]) - b[i]);
    if (sum == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

}  // namespace

// Straight into the caller's rows, with the program's layout, through a
// scratch row (three-channel buffer), and bottom row first: all exact.
TEST(WebpReader, LosslessIsExactWhateverTheLayout) {
    Bytes file = fixture("lossless.webp");
    struct Way {
        const int* chans;
        int nchans;
        iflOrientation orient;
    } ways[] = {{kRGBA, 4, iflUpperLeft}, {kProgram, 4, iflUpperLeft}, {kRGBA, 3, iflUpperLeft},
                {kRGBA, 4, iflLowerLeft}};
    for (const Way& w : ways) {
        SCOPED_TRACE(w.nchans * 10 + w.orient);
        Picture pic;
        ASSERT_EQ(readPicture(file, pic, w.chans, w.nchans, w.orient), iflSuccess);
        ASSERT_EQ(pic.w, 8);
        ASSERT_EQ(pic.h, 6);
        EXPECT_EQ(pic.c, 3);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) {
                const uint8_t* p = pic.at(x, y, w.nchans);
                Rgb c = pattern(x, y);
                ASSERT_EQ(Rgb({p[0], p[1], p[2]}), c) << x << "," << y;
                if (w.nchans == 4) {
                    ASSERT_EQ(p[3], w.chans == kProgram ? c[0] : 255) << x << "," << y;
                }
            }
    }
}

TEST(WebpReader, LossyIsCloseToItsSource) {
    Picture pic;
    ASSERT_EQ(readPicture(fixture("lossy.webp"), pic), iflSuccess);
    ASSERT_EQ(pic.w, 16);
    ASSERT_EQ(pic.h, 12);
    EXPECT_EQ(pic.c, 3);
    for (int y = 0; y < 12; ++y)
        for (int x = 0; x < 16; ++x) {
            const uint8_t* p = pic.at(x, y);
            EXPECT_NEAR(p[0], 16 * x, 12) << x << "," << y;
            EXPECT_NEAR(p[1], 20 * y, 12) << x << "," << y;
            EXPECT_NEAR(p[2], 128, 12) << x << "," << y;
            EXPECT_EQ(p[3], 255);
        }
}

TEST(WebpReader, ReadsAlphaLosslessAndLossy) {
    for (const char* name : {"alpha.webp", "lossyalpha.webp"}) {
        SCOPED_TRACE(name);
        bool exact = std::string(name) == "alpha.webp";
        for (int nchans : {4, 3}) {
            Picture pic;
            ASSERT_EQ(readPicture(fixture(name), pic, kRGBA, nchans), iflSuccess);
            ASSERT_EQ(pic.w, 8);
            ASSERT_EQ(pic.h, 6);
            EXPECT_EQ(pic.c, 4);
            // Colour on this tiny, steep ramp is coarse when lossy; alpha is kept
            // losslessly (-alpha_q 100).
            int tol = exact ? 0 : 32;
            for (int y = 0; y < 6; ++y)
                for (int x = 0; x < 8; ++x) {
                    const uint8_t* p = pic.at(x, y, nchans);
                    EXPECT_NEAR(p[0], 30 * x, tol) << x << "," << y;
                    EXPECT_NEAR(p[1], 40 * y, tol) << x << "," << y;
                    EXPECT_NEAR(p[2], 200, tol) << x << "," << y;
                    if (nchans == 4) {
                        EXPECT_EQ(p[3], 255 - 30 * x - 5 * y) << x << "," << y;
                    }
                }
        }
    }
}

TEST(WebpReader, ReadsFirstFrameOfAnimation) {
    for (int nchans : {4, 3}) {
        Picture pic;
        ASSERT_EQ(readPicture(fixture("animated.webp"), pic, kRGBA, nchans), iflSuccess);
        ASSERT_EQ(pic.w, 8);
        ASSERT_EQ(pic.h, 6);
        EXPECT_EQ(pic.c, 3);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 8; ++x) {
                const uint8_t* p = pic.at(x, y, nchans);
                ASSERT_EQ(Rgb({p[0], p[1], p[2]}), pattern(x, y)) << x << "," << y;
            }
    }
}

TEST(WebpReader, RejectsTruncatedAndCorruptFiles) {
    QuietStderr quiet;
    for (const char* name : {"lossless.webp", "lossy.webp", "alpha.webp", "lossyalpha.webp", "animated.webp"}) {
        Bytes whole = fixture(name);
        ASSERT_FALSE(whole.empty());
        for (size_t n = 0; n < whole.size(); ++n) {
            Bytes cut(whole.begin(), whole.begin() + n);
            Picture pic;
            EXPECT_NE(readPicture(cut, pic), iflSuccess) << name << " cut to " << n << " bytes";
        }
    }
    Picture pic;
    Bytes lossy = fixture("lossy.webp");
    ASSERT_GT(lossy.size(), 26u);
    Bytes badSignature = lossy;
    badSignature[23] ^= 0xFF;  // the VP8 frame's start code
    EXPECT_NE(readPicture(badSignature, pic), iflSuccess);

    Bytes lossless = fixture("lossless.webp");
    Bytes badLossless = lossless;
    badLossless[20] = 0x2E;  // the lossless signature byte
    EXPECT_NE(readPicture(badLossless, pic), iflSuccess);

    Bytes notWebp = {'R', 'I', 'F', 'F', 4, 0, 0, 0, 'W', 'A', 'V', 'E'};
    iflStatus st;
    EXPECT_EQ(iflFile::openMemory(notWebp.data(), notWebp.size(), "x", nullptr, &st), nullptr);
    EXPECT_EQ(st, iflErrUnknownFormat);
}

TEST(WebpWriter, LossyRoundTripOfOddGradient) {
    testutil::TempDir dir;
    for (int channels : {3, 4}) {
        SCOPED_TRACE(channels);
        Bytes px = gradient(channels);
        std::string path = dir / ("g" + std::to_string(channels) + ".webp");
        ASSERT_EQ(writePicture(path, px, 47, 33, channels, channels), iflSuccess);
        Bytes file = testutil::readFile(path);
        Picture back;
        ASSERT_EQ(readPicture(file, back, kRGBA, channels), iflSuccess);
        ASSERT_EQ(back.w, 47);
        ASSERT_EQ(back.h, 33);
        EXPECT_EQ(back.c, channels);
        EXPECT_GE(psnr(px, back.px), 30.0);
        EXPECT_NE(px, back.px) << "expected a lossy file";
    }
}

// Lossless writing from the caller's block in place, from rows gathered
// from a three-channel buffer, and from a bottom-row-first buffer: exact,
// including the colour under fully transparent pixels.
TEST(WebpWriter, LosslessRoundTripIsExact) {
    testutil::TempDir dir;
    struct Way {
        int channels, nchans;
        iflOrientation orient;
    } ways[] = {{4, 4, iflUpperLeft}, {3, 4, iflUpperLeft}, {3, 3, iflUpperLeft}, {4, 4, iflLowerLeft}};
    for (const Way& w : ways) {
        SCOPED_TRACE(w.channels * 100 + w.nchans * 10 + w.orient);
        Bytes px = gradient(w.nchans);
        if (w.nchans == 4) px[3] = 0;
        std::string path = dir / "exact.webp";
        ASSERT_EQ(writePicture(path, px, 47, 33, w.channels, w.nchans, iflNoCompression, w.orient), iflSuccess);
        Picture back;
        ASSERT_EQ(readPicture(testutil::readFile(path), back, kRGBA, w.nchans), iflSuccess);
        EXPECT_EQ(back.c, w.channels);
        if (w.channels == 3 && w.nchans == 4)
            for (size_t i = 3; i < px.size(); i += 4) px[i] = 255;
        EXPECT_EQ(back.px, px);
    }
}

TEST(WebpWriter, RefusesSidesBeyondWebpLimit) {
    testutil::TempDir dir;
    Bytes px(16384 * 4, 7);
    {
        QuietStderr quiet;
        EXPECT_EQ(writePicture(dir / "wide.webp", px, 16384, 1, 4, 4), iflErrTooLarge);
    }
    EXPECT_TRUE(testutil::listDir(dir.path()).empty());
    EXPECT_EQ(writePicture(dir / "edge.webp", Bytes(16383 * 4, 7), 16383, 1, 4, 4), iflSuccess);
}
