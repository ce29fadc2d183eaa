// The driver with JPEG XL: converting from and to it, and loading libjxl
// only for these files.
#include "psnr.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

using testutil::run;
using Bytes = std::vector<uint8_t>;

// A picture to JPEG XL and back to PPM: the file is a bare codestream as
// close to the source as cjxl's at the same distance (42.8 dB), and a cjxl
// file reads as djxl reads it.
TEST(DriverJxl, ConvertsFromAndToJpegXl) {
    testutil::TempDir dir;
    const std::string in = testutil::dataPath("heif/source.png"), out = dir / "out.jxl";
    auto r = run({PICTRIX_BIN, in, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const Bytes file = testutil::readFile(out);
    ASSERT_GT(file.size(), 2u);
    EXPECT_EQ(file[0], 0xff);
    EXPECT_EQ(file[1], 0x0a);
    int w, h, sw, sh;
    Bytes back, src;
    ASSERT_TRUE(testutil::driverPpm(dir, out, w, h, back));
    ASSERT_TRUE(testutil::driverPpm(dir, in, sw, sh, src));
    ASSERT_EQ(w, sw);
    ASSERT_EQ(h, sh);
    EXPECT_GT(testutil::psnr(back, src), 41.5);

    int rw, rh;
    Bytes mine, ref;
    ASSERT_TRUE(testutil::driverPpm(dir, testutil::dataPath("jxl/lossy.jxl"), w, h, mine));
    ASSERT_TRUE(testutil::parsePpm(testutil::readFile(testutil::dataPath("jxl/lossy.ref.ppm")), rw, rh, ref));
    EXPECT_GT(testutil::psnr(mine, ref), 50.0);
}

// libjxl and its thread runner are opened on first use: a JPEG conversion
// does without them, a JPEG XL conversion loads them.
TEST(DriverJxl, LibjxlIsLoadedOnlyForJpegXl) {
    testutil::TempDir dir;
    auto traced = [] { setenv("LD_DEBUG", "files", 1); };
    auto r = run({PICTRIX_BIN, testutil::dataPath("jpeg/quads.jpg"), dir / "q.png"}, traced);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("libjpeg"), std::string::npos) << "the loader's trace is missing:\n" << r.err;
    for (const char* lib : {"libjxl", "libhwy", "libbrotli"})
        EXPECT_EQ(r.err.find(lib), std::string::npos) << lib << " was loaded:\n" << r.err;

    r = run({PICTRIX_BIN, testutil::dataPath("jxl/lossy.jxl"), dir / "p.jpg"}, traced);
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* lib : {"libjxl.so", "libjxl_threads.so"})
        EXPECT_NE(r.err.find(lib), std::string::npos) << lib << " was not loaded:\n" << r.err;
}
