// The driver with HEIC and AVIF: converting from and to them, refusing a
// header that claims a huge picture cheaply, and loading libheif (and the
// codecs it brings) only for these files.
#include "psnr.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using testutil::run;
using Bytes = std::vector<uint8_t>;

namespace {

// Every hostile file must be refused or read within these.
constexpr long kMaxRssKiB = testutil::kHostileMaxRssKiB;
constexpr double kMaxSeconds = testutil::kHostileMaxSeconds;

}  // namespace

TEST(DriverHeif, HeicConvertsToJpeg) {
    testutil::TempDir dir;
    const std::string out = dir / "out.jpg";
    auto r = run({PICTRIX_BIN, testutil::dataPath("heif/plain.heic"), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_NE(r.out.find("Image Size X: 95 Y: 63"), std::string::npos) << r.out;
    const Bytes jpg = testutil::readFile(out);
    ASSERT_GT(jpg.size(), 2u);
    EXPECT_EQ(jpg[0], 0xff);
    EXPECT_EQ(jpg[1], 0xd8);
    int w, h, sw, sh;
    Bytes got, src;
    ASSERT_TRUE(testutil::driverPpm(dir, out, w, h, got));
    ASSERT_TRUE(testutil::driverPpm(dir, testutil::dataPath("heif/source.png"), sw, sh, src));
    ASSERT_EQ(w, sw);
    ASSERT_EQ(h, sh);
    // The HEIC alone is 41 dB from the source; a JPEG at the driver's quality
    // loses a little more.
    const double db = testutil::psnr(got, src);
    std::printf("pictrix plain.heic -> jpg: %.2f dB to the source\n", db);
    EXPECT_GT(db, 33.0);
}

TEST(DriverHeif, JpegConvertsToAvifAndHeic) {
    testutil::TempDir dir;
    const std::string in = testutil::dataPath("jpeg/quads.jpg");
    int w, h;
    Bytes src;
    ASSERT_TRUE(testutil::driverPpm(dir, in, w, h, src));
    for (const char* name : {"out.avif", "out.heic"}) {
        SCOPED_TRACE(name);
        const std::string out = dir / name;
        auto r = run({PICTRIX_BIN, in, out});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const Bytes file = testutil::readFile(out);
        ASSERT_GT(file.size(), 12u);
        EXPECT_EQ(std::string(file.begin() + 4, file.begin() + 8), "ftyp");
        int bw, bh;
        Bytes back;
        ASSERT_TRUE(testutil::driverPpm(dir, out, bw, bh, back));
        ASSERT_EQ(bw, w);
        ASSERT_EQ(bh, h);
        EXPECT_GT(testutil::psnr(back, src), 30.0);
    }
}

// 40000 x 40000 in the ispe boxes: refused before anything is decoded, in
// one line, quickly and in little memory (libheif and its codecs loaded).
TEST(DriverHeif, HugePictureHeadersAreRefusedFastInLittleMemory) {
    testutil::TempDir dir;
    for (const char* name : {"huge.heic", "huge.avif"}) {
        SCOPED_TRACE(name);
        const std::string path = dir / name;
        testutil::writeFile(path, testutil::readFile(testutil::dataPath(std::string("heif/") + name)));
        auto r = run({PICTRIX_BIN, path, dir / "out.ppm"});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.out.find("Image Size X: 0 Y: 0"), std::string::npos) << r.out;
        const std::string format = std::string(name).find("heic") != std::string::npos ? "HEIF" : "AVIF";
        EXPECT_EQ(r.err, "ifl0: " + path + ": " + format +
                             ": picture of 40000 by 40000 is beyond the size limits (sides 1 to 32767, at most 2 "
                             "GiB of RGBA)\n");
        EXPECT_LT(r.maxRssKiB, kMaxRssKiB);
        EXPECT_LT(r.seconds, kMaxSeconds);
        EXPECT_FALSE(testutil::fileExists(dir / "out.ppm"));
        std::printf("%-10s peak %5ld KiB  %.3f s\n", name, r.maxRssKiB, r.seconds);
    }
}

// Damaged files through the driver: one line, status 1, nothing written.
TEST(DriverHeif, TruncatedFilesFailCleanly) {
    testutil::TempDir dir;
    for (const char* name : {"half.heic", "half.avif", "head100.heic", "head100.avif"}) {
        SCOPED_TRACE(name);
        const std::string path = dir / name;
        testutil::writeFile(path, testutil::readFile(testutil::dataPath(std::string("heif/") + name)));
        auto r = run({PICTRIX_BIN, path, dir / "out.jpg"});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err.rfind("ifl0: " + path + ": ", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_FALSE(testutil::fileExists(dir / "out.jpg"));
    }
}

// libheif, and through it the HEVC and AV1 codecs, is opened on first use:
// a JPEG conversion does without it, a HEIC conversion loads it.
TEST(DriverHeif, LibheifIsLoadedOnlyForTheseFormats) {
    testutil::TempDir dir;
    auto traced = [] { setenv("LD_DEBUG", "files", 1); };
    auto r = run({PICTRIX_BIN, testutil::dataPath("jpeg/quads.jpg"), dir / "q.png"}, traced);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("libjpeg"), std::string::npos) << "the loader's trace is missing:\n" << r.err;
    for (const char* lib : {"libheif", "libde265", "libx265", "libaom", "libdav1d"})
        EXPECT_EQ(r.err.find(lib), std::string::npos) << lib << " was loaded:\n" << r.err;

    r = run({PICTRIX_BIN, testutil::dataPath("heif/plain.heic"), dir / "p.jpg"}, traced);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("libheif"), std::string::npos) << "libheif was not loaded:\n" << r.err;
}
