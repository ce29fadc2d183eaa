// JPEG XL through the library: lossless files against their sources, lossy
// ones against libjxl's own djxl, orientation, deeper and float samples,
// colour, recompressed JPEG, headers beyond the limits, damage, and writing.
// How each fixture was made: tests/data/jxl/make.sh and its README.
#include "ifl0.h"
#include "picture.h"
#include "psnr.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testutil::Picture;
using testutil::psnr;
using testutil::ramp;
using testutil::writePicture;

Bytes fixture(const std::string& name) { return testutil::readFile(testutil::dataPath(name)); }

Picture load(const Bytes& bytes) {
    Picture pic;
    EXPECT_EQ(testutil::readPicture(bytes, pic), iflSuccess);
    return pic;
}
Picture load(const std::string& name) { return load(fixture(name)); }

Bytes rgb(const Picture& p) {
    Bytes out;
    for (size_t i = 0; i < p.px.size(); i += 4) out.insert(out.end(), &p.px[i], &p.px[i] + 3);
    return out;
}

// The largest difference between two equally long sample arrays.
int maxDifference(const Bytes& a, const Bytes& b) {
    EXPECT_EQ(a.size(), b.size());
    int d = 0;
    for (size_t i = 0; i < std::min(a.size(), b.size()); ++i) d = std::max(d, std::abs(int(a[i]) - int(b[i])));
    return d;
}

void expectSamePicture(const Picture& got, const Picture& want) {
    ASSERT_EQ(got.w, want.w);
    ASSERT_EQ(got.h, want.h);
    EXPECT_EQ(maxDifference(got.px, want.px), 0);
}

std::pair<iflStatus, std::string> readCapturingStderr(const Bytes& bytes) {
    testing::internal::CaptureStderr();
    Picture pic;
    iflStatus st = testutil::readPicture(bytes, pic);
    return {st, testing::internal::GetCapturedStderr()};
}

}  // namespace

// A bare codestream and a container, whatever the name says.
TEST(JxlReader, FilesAreRecognisedFromTheirContent) {
    iflFormat* format = iflFormat::find("jxl");
    ASSERT_NE(format, nullptr);
    EXPECT_STREQ(format->name(), "JXL");
    EXPECT_TRUE(format->canWrite());
    testutil::TempDir dir;
    // lossy.jxl is a bare codestream (FF 0A), quads-jpeg.jxl a container.
    for (const char* file : {"jxl/lossy.jxl", "jxl/quads-jpeg.jxl"}) {
        const Bytes bytes = fixture(file);
        for (const char* name : {"x.png", "x.jxl", "x"}) {
            const std::string path = dir / name;
            testutil::writeFile(path, bytes);
            iflStatus st;
            iflFile* f = iflFile::open(-1, path.c_str(), 0, nullptr, &st);
            ASSERT_NE(f, nullptr) << file << " as " << name;
            EXPECT_STREQ(f->getFormat()->name(), "JXL");
            f->close();
        }
    }
}

// Lossless files give back their sources exactly: colour, alpha, grey (as
// equal red, green and blue) and an animation's first frame, not its second
// (cjxl gives the animation an alpha channel, opaque in that frame).
TEST(JxlReader, LosslessFilesReadAsTheirSources) {
    struct Case {
        const char *file, *source;
        int channels;
    } cases[] = {{"jxl/lossless.jxl", "heif/source.png", 3},
                 {"jxl/alpha.jxl", "heif/alpha-source.png", 4},
                 {"jxl/grey.jxl", "jxl/grey.pgm", 3},
                 {"jxl/anim.jxl", "jxl/anim.gif", 4}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Picture p = load(c.file);
        EXPECT_EQ(p.c, c.channels);
        expectSamePicture(p, load(c.source));
    }
}

// Lossy files read as djxl decodes them (the same library and rendering to
// sRGB, so within one level for rounding), and close to their sources.
TEST(JxlReader, LossyFilesReadAsDjxlDecodesThem) {
    struct Case {
        const char *file, *ref, *source;
        double minPsnr;  // djxl's PSNR to the source, less 1 dB
    } cases[] = {{"jxl/lossy.jxl", "jxl/lossy.ref.ppm", "heif/source.png", 41.0},
                 {"jxl/alpha-lossy.jxl", "jxl/alpha-lossy.ref.png", "heif/alpha-source.png", 41.0},
                 {"jxl/grey-lossy.jxl", "jxl/grey-lossy.ref.pgm", "jxl/grey.pgm", 41.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Picture p = load(c.file), ref = load(c.ref), source = load(c.source);
        ASSERT_EQ(p.w, ref.w);
        ASSERT_EQ(p.h, ref.h);
        EXPECT_EQ(p.c, ref.c);
        EXPECT_EQ(p.c, source.c);
        EXPECT_LE(maxDifference(p.px, ref.px), 1);
        EXPECT_GT(psnr(p.px, source.px), c.minPsnr);
    }
}

// Each orientation, applied by the reader, shows the source upright and
// exactly (the stored pixels were turned beforehand; lossless).
TEST(JxlReader, OrientationIsAppliedOnce) {
    const Picture source = load("heif/source.png");
    for (int o = 2; o <= 8; ++o) {
        SCOPED_TRACE("orientation " + std::to_string(o));
        const Bytes bytes = fixture("jxl/orient" + std::to_string(o) + ".jxl");
        iflStatus st;
        iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "memory", nullptr, &st);
        ASSERT_NE(f, nullptr);
        EXPECT_EQ(f->getOrientation(), iflUpperLeft);
        EXPECT_EQ(f->getSize().x, 95);
        f->close();
        expectSamePicture(load(bytes), source);
    }
}

// 16-bit samples either side of each 8-bit rounding boundary, and float
// samples: each read as the nearest 8-bit value (257 k + 128 as k, where
// shifting would give k + 1 from k = 128 on), floats clamped to 0..1 (the
// float source's rows are stored bottom-up, as PFM stores them).
TEST(JxlReader, DeeperAndFloatSamplesAreRoundedToTheNearest8BitValue) {
    std::vector<int> deep = {0, 65535};
    for (int k = 0; k < 255; ++k) deep.push_back(257 * k + 128), deep.push_back(257 * k + 129);
    Picture p = load("jxl/deep16.jxl");
    ASSERT_EQ(p.w * p.h, 32 * 16);
    Bytes got = rgb(p), want;
    for (size_t i = 0; i < got.size(); ++i) want.push_back(uint8_t((deep[i % deep.size()] * 255 + 32767) / 65535));
    EXPECT_EQ(maxDifference(got, want), 0);

    p = load("jxl/float.jxl");
    ASSERT_EQ(p.w * p.h, 25 * 20);
    got = rgb(p);
    // Within half a level of the exact value: either way at a tie (100 /
    // 1000 is 25.5 levels).
    int wrong = 0;
    for (int y = 0, at = 0; y < 20; ++y)
        for (int i = (19 - y) * 75; i < (20 - y) * 75; ++i, ++at)
            wrong += std::fabs(got[size_t(at)] - std::min(1.0, i / 1000.0) * 255) > 0.5 + 1e-9;
    EXPECT_EQ(wrong, 0);
}

// Adobe RGB pictures come out as sRGB, against Little CMS renderings of
// their sources: a lossless file and a recompressed JPEG keep their samples
// in Adobe RGB, which the colour step converts (their sources read without
// it are 19 and 20 dB away); a lossy one is rendered to sRGB by libjxl, as
// djxl renders it to sRGB (30.0 dB: distance 1.0 on saturated colours).
TEST(JxlReader, ColourIsConvertedToSrgb) {
    struct Case {
        const char *file, *ref;
        double minPsnr;
    } cases[] = {{"jxl/adobe-lossless.jxl", "colour/adobe.ref.ppm", 45.0},
                 {"jxl/adobe-lossy.jxl", "colour/adobe.ref.ppm", 29.5},
                 {"jxl/adobe-jpeg.jxl", "colour/adobe-jpg.ref.ppm", 38.0}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Picture p = load(c.file);
        int w, h;
        Bytes ref;
        ASSERT_TRUE(testutil::parsePpm(fixture(c.ref), w, h, ref));
        ASSERT_EQ(p.w, w);
        ASSERT_EQ(p.h, h);
        const double db = psnr(rgb(p), ref);
        std::printf("%s: %.1f dB to the reference\n", c.file, db);
        EXPECT_GT(db, c.minPsnr);
    }
}

// A JPEG recompressed into JPEG XL reads like the JPEG itself, up to the
// two decoders' own rounding (libjpeg-turbo's and libjxl's IDCT and chroma
// upsampling).
TEST(JxlReader, RecompressedJpegReadsAsTheJpeg) {
    const Picture p = load("jxl/quads-jpeg.jxl"), jpeg = load("jpeg/quads.jpg");
    ASSERT_EQ(p.w, jpeg.w);
    ASSERT_EQ(p.h, jpeg.h);
    EXPECT_GT(psnr(p.px, jpeg.px), 40.0);
}

// Refused from the header, in the library's one sentence for every reader;
// extra channels count toward the limits.
TEST(JxlReader, PicturesBeyondTheLimitsAreRefusedAtOpen) {
    struct Case {
        uint32_t w, h, extra;
        std::string why;
    } cases[] = {{40000, 40000, 0, "picture of 40000 by 40000 is beyond the size limits (sides 1 to 32767, at most 2 GiB of RGBA)"},
                 {40000, 3, 0, "picture of 40000 by 3 is beyond the size limits (sides 1 to 32767, at most 2 GiB of RGBA)"},
                 {30000, 30000, 1, "picture of 30000 by 30000 is beyond the size limits (sides 1 to 32767, at most 2 GiB of RGBA)"},
                 {16000, 16000, 4095, "picture of 16000 by 16000 with 4095 extra channels is beyond the size limits"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
        const Bytes bytes = testutil::jxlHeader(c.w, c.h, c.extra);
        testing::internal::CaptureStderr();
        iflStatus st;
        iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "memory", nullptr, &st);
        const std::string err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(f, nullptr);
        if (f) f->close();
        EXPECT_EQ(st, iflErrTooLarge);
        EXPECT_EQ(err, "ifl0: memory: JXL: " + c.why + "\n");
    }
}

// Damaged files fail with one line naming the format, never a crash or a
// hang: headers without a frame, fixtures cut at every sixteenth (an
// animation cut after its first frame still reads, as that frame), and
// random bytes changed (those may also read, as damaged pixels).
TEST(JxlReader, DamagedFilesFailWithOneLine) {
    std::vector<std::pair<std::string, Bytes>> cut = {{"header only", testutil::jxlHeader(300, 200)}};
    for (const char* f : {"lossy.jxl", "lossless.jxl", "alpha.jxl", "anim.jxl", "quads-jpeg.jxl"}) {
        const Bytes whole = fixture(std::string("jxl/") + f);
        for (int k = 1; k < 16; ++k)
            cut.emplace_back(std::string(f) + " cut at " + std::to_string(k) + "/16",
                             Bytes(whole.begin(), whole.begin() + whole.size() * k / 16));
    }
    const Picture firstFrame = load("jxl/anim.jxl");
    for (const auto& [name, bytes] : cut) {
        SCOPED_TRACE(name);
        auto [st, err] = readCapturingStderr(bytes);
        if (st == iflSuccess && name.rfind("anim", 0) == 0) {
            expectSamePicture(load(bytes), firstFrame);
            continue;
        }
        EXPECT_EQ(st, iflErrCorrupt);
        EXPECT_EQ(err.rfind("ifl0: memory: JXL: ", 0), 0u) << err;
        EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
    std::mt19937 random(16);
    for (const char* f : {"lossy.jxl", "lossless.jxl", "alpha-lossy.jxl"}) {
        const Bytes whole = fixture(std::string("jxl/") + f);
        for (int n = 0; n < 40; ++n) {
            Bytes bytes = whole;
            for (int k = 0; k < 4; ++k) bytes[2 + random() % (bytes.size() - 2)] = uint8_t(random());
            SCOPED_TRACE(std::string(f) + " damaged, try " + std::to_string(n));
            auto [st, err] = readCapturingStderr(bytes);
            EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), st == iflSuccess ? 0 : 1) << err;
        }
    }
}

namespace {

// The samples of a picture read with 4 channels, with nchans per pixel.
Bytes samples(const Picture& p, int nchans) {
    Bytes out;
    for (size_t i = 0; i < p.px.size(); i += 4) out.insert(out.end(), &p.px[i], &p.px[i] + nchans);
    return out;
}

}  // namespace

// With and without alpha, at odd sizes down to one pixel, whatever the
// ending's case: lossless (iflNoCompression) gives back every sample; lossy
// at distance 1.0 stays above 40 dB on these smooth ramps (alpha too), and
// above 25 dB on a few pixels that each differ by tens of levels.
TEST(JxlWriter, RoundTripsLosslessExactlyAndLossyClose) {
    testutil::TempDir dir;
    for (const char* name : {"x.jxl", "x.JXL"})
        for (int nchans : {3, 4})
            for (auto [w, h] : {std::pair{47, 33}, std::pair{1, 1}, std::pair{2, 3}})
                for (iflCompression compression : {iflNoCompression, iflCompressionDefault}) {
                    SCOPED_TRACE(std::string(name) + " " + std::to_string(nchans) + " channels " + std::to_string(w) +
                                 "x" + std::to_string(h) + (compression == iflNoCompression ? " lossless" : " lossy"));
                    const std::string path = dir / name;
                    const Bytes px = ramp(w, h, nchans);
                    ASSERT_EQ(writePicture(path, px, w, h, nchans, compression), iflSuccess);
                    const Bytes file = testutil::readFile(path);
                    ASSERT_GE(file.size(), 2u);
                    EXPECT_EQ(file[0], 0xff);
                    EXPECT_EQ(file[1], 0x0a);
                    const Picture p = load(file);
                    ASSERT_EQ(p.w, w);
                    ASSERT_EQ(p.h, h);
                    EXPECT_EQ(p.c, nchans);
                    if (compression == iflNoCompression)
                        EXPECT_EQ(samples(p, nchans), px);
                    else
                        EXPECT_GT(psnr(samples(p, nchans), px), w * h > 16 ? 40.0 : 25.0);
                }
}

// The source picture at the writer's own settings: near cjxl's lossy.jxl
// (the same distance, effort 7) in quality and size.
TEST(JxlWriter, WritesPhotosAtPhotoQuality) {
    testutil::TempDir dir;
    const Bytes src = rgb(load("heif/source.png"));
    ASSERT_EQ(writePicture(dir / "s.jxl", src, 95, 63, 3, iflCompressionDefault), iflSuccess);
    const Bytes file = testutil::readFile(dir / "s.jxl");
    EXPECT_LT(file.size(), fixture("jxl/lossy.jxl").size() * 11 / 10);
    EXPECT_GT(psnr(rgb(load(file)), src), 41.0);
}
