// The driver converting an Adobe RGB JPEG: the PPM it writes is sRGB, close
// to an independent colour-managed conversion of the same file.
#include "psnr.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cstdio>

TEST(DriverColour, AdobeRgbJpegConvertsToSrgbPpm) {
    testutil::TempDir dir;
    const std::string out = dir / "adobe.ppm";
    auto r = testutil::run({PICTRIX_BIN, testutil::dataPath("colour/adobe.jpg"), out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    int w = 0, h = 0, rw = 0, rh = 0;
    std::vector<uint8_t> got, ref;
    ASSERT_TRUE(testutil::parsePpm(testutil::readFile(out), w, h, got));
    ASSERT_TRUE(testutil::parsePpm(testutil::readFile(testutil::dataPath("colour/adobe-jpg.ref.ppm")), rw, rh, ref));
    ASSERT_EQ(w, rw);
    ASSERT_EQ(h, rh);
    const double db = testutil::psnr(got, ref);
    std::printf("pictrix adobe.jpg -> ppm: %.2f dB to the reference\n", db);
    // The library's own colour tests explain the threshold; untagged, this
    // file reads at under 20 dB.
    EXPECT_GE(db, 35);
}
