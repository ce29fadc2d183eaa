// Loading and saving pictures: the writer variants' bytes, failures that
// leave nothing behind, and conversions run through the driver.
#include "imagefile.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <csignal>
#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>

using testutil::run;
using testutil::TempDir;

namespace {

// A 5 by 3 picture whose pixel (x, y) is (10x+1, 10y+2, 100+x+y, 200+x).
void pattern(rgbaimage& im) {
    im.Allocate(5, 3);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 5; ++x) {
            unsigned char* p = im.PixelAt(x, y);
            p[0] = uint8_t(10 * x + 1), p[1] = uint8_t(10 * y + 2), p[2] = uint8_t(100 + x + y),
            p[3] = uint8_t(200 + x);
        }
}

// The pixel bytes of a binary PPM or PAM file this library wrote.
std::vector<uint8_t> body(const std::string& path, size_t pixels, int channels) {
    auto bytes = testutil::readFile(path);
    size_t n = pixels * size_t(channels);
    if (bytes.size() < n) return {};
    return std::vector<uint8_t>(bytes.end() - long(n), bytes.end());
}

// The expected file bytes: for each pixel, the buffer channels listed.
std::vector<uint8_t> expected(const rgbaimage& im, std::vector<int> from) {
    std::vector<uint8_t> v;
    for (int y = 0; y < im.height; ++y)
        for (int x = 0; x < im.width; ++x)
            for (int c : from) v.push_back(im.PixelAt(x, y)[c]);
    return v;
}

bool writesHere(const TempDir& dir, const std::vector<std::string>& expect) {
    auto names = testutil::listDir(dir.path());
    std::sort(names.begin(), names.end());
    return names == expect;
}

}  // namespace

TEST(WriterVariants, EachWritesItsChannelListByTheLibrarysRule) {
    TempDir dir;
    rgbaimage im;
    pattern(im);
    ASSERT_TRUE(WriteJpg((dir / "jpg.ppm").c_str(), im));
    EXPECT_EQ(body(dir / "jpg.ppm", 15, 3), expected(im, {0, 1, 2}));
    // The list 3, 1, 2, 3 names file channel 0 nowhere: it keeps buffer red.
    ASSERT_TRUE(WritePpm((dir / "ppm.ppm").c_str(), im));
    EXPECT_EQ(body(dir / "ppm.ppm", 15, 3), expected(im, {0, 1, 2}));
    ASSERT_TRUE(WriteJpgSwapped((dir / "swapped.ppm").c_str(), im));
    EXPECT_EQ(body(dir / "swapped.ppm", 15, 3), expected(im, {3, 2, 1}));
    ASSERT_TRUE(WritePpmSwapped((dir / "ppmswapped.ppm").c_str(), im));
    EXPECT_EQ(body(dir / "ppmswapped.ppm", 15, 3), expected(im, {0, 2, 1}));
    ASSERT_TRUE(WriteRgb((dir / "rgb.pam").c_str(), im));
    EXPECT_EQ(body(dir / "rgb.pam", 15, 4), expected(im, {3, 2, 1, 0}));
}

TEST(SaveImage, ConvertsBetweenLosslessFormatsExactly) {
    TempDir dir;
    rgbaimage im;
    pattern(im);
    im.SetOpaque();
    for (const char* name : {"a.ppm", "b.PPM", "c.Tif", "d.png", "e.bmp", "f.pam", "g.tiff"}) {
        std::string path = dir / name;
        ASSERT_TRUE(SaveImage(path.c_str(), im)) << name;
        rgbaimage back;
        LoadImage(path.c_str(), back);
        ASSERT_EQ(back.width, 5) << name;
        ASSERT_EQ(back.height, 3) << name;
        EXPECT_EQ(memcmp(back.pixels, im.pixels, 60), 0) << name;
    }
}

TEST(SaveImage, UnknownEndingCreatesNothingAndSaysWhichEndingsWork) {
    TempDir dir;
    std::string in = dir / "in.ppm", out = dir / "out.xyz";
    rgbaimage im;
    pattern(im);
    ASSERT_TRUE(WriteJpg(in.c_str(), im));
    auto r = run({PICTRIX_BIN, in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nImage Size X: 5 Y: 3\n\nKnown file extensions jpg, ppm, tif only\n");
    EXPECT_EQ(r.err, "ifl0: " + out +
                         ": unknown file ending; known endings: .jpg .jpeg .jpe .png .tif .tiff .webp .bmp "
                         ".ppm .pnm .pam .heic .heif .avif .jxl .qoi .tga\ncan't open file to write jpg!: Invalid argument\n");
    EXPECT_TRUE(writesHere(dir, {"in.ppm"}));
}

TEST(SaveImage, MissingFolderReportsTheSystemError) {
    TempDir dir;
    std::string in = dir / "in.ppm", out = dir / "no/such/folder/out.jpg";
    rgbaimage im;
    pattern(im);
    ASSERT_TRUE(WriteJpg(in.c_str(), im));
    auto r = run({PICTRIX_BIN, in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nImage Size X: 5 Y: 3\n\n");
    EXPECT_NE(r.err.find("can't open file to write jpg!: No such file or directory\n"), std::string::npos) << r.err;
    EXPECT_TRUE(writesHere(dir, {"in.ppm"}));
}

static void smallFileLimit() {
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim = {4096, 4096};
    setrlimit(RLIMIT_FSIZE, &lim);
}

TEST(SaveImage, FullDiskLeavesTheOldFileIntactAndNoTemporary) {
    TempDir dir;
    std::string out = dir / "out.ppm";
    testutil::writeFile(out, std::string("precious"));
    auto r = run({PICTRIX_BIN, std::string(SAMPLES_DIR) + "/sunrise.png", out}, smallFileLimit);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "\nImage Size X: 320 Y: 200\n\ncant write data to file\n");
    EXPECT_NE(r.err.find("File too large"), std::string::npos) << r.err;
    auto kept = testutil::readFile(out);
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "precious");
    EXPECT_TRUE(writesHere(dir, {"out.ppm"}));
}

TEST(SaveImage, ConvertingAFileOntoItselfWorksAndKeepsItsMode) {
    TempDir dir;
    std::string path = dir / "self.ppm";
    rgbaimage im;
    pattern(im);
    ASSERT_TRUE(WriteJpg(path.c_str(), im));
    chmod(path.c_str(), 0640);
    auto r = run({PICTRIX_BIN, path, path});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nImage Size X: 5 Y: 3\n\n");
    EXPECT_EQ(r.err, "");
    im.SetOpaque();
    rgbaimage back;
    LoadImage(path.c_str(), back);
    ASSERT_EQ(back.width, 5);
    EXPECT_EQ(memcmp(back.pixels, im.pixels, 60), 0);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_TRUE(writesHere(dir, {"self.ppm"}));
}

TEST(SaveImage, KnownButUnlistedEndingWarnsThenWritesThatFormat) {
    TempDir dir;
    std::string out = dir / "sun.png";
    auto r = run({PICTRIX_BIN, std::string(SAMPLES_DIR) + "/sunrise.png", out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nImage Size X: 320 Y: 200\n\nKnown file extensions jpg, ppm, tif only\n");
    auto bytes = testutil::readFile(out);
    ASSERT_GT(bytes.size(), 8u);
    EXPECT_EQ(memcmp(bytes.data(), "\x89PNG", 4), 0);
}

TEST(SaveImage, ExtraArgumentsChangeNothing) {
    TempDir dir;
    std::string out = dir / "sun.jpg";
    auto r = run({PICTRIX_BIN, std::string(SAMPLES_DIR) + "/sunrise.png", out, "extra", "more"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "\nImage Size X: 320 Y: 200\n\n");
    EXPECT_EQ(r.err, "");
    rgbaimage back;
    LoadImage(out.c_str(), back);
    EXPECT_EQ(back.width, 320);
    EXPECT_EQ(back.height, 200);
}

// A picture large enough that loading prefaults most of its block on a
// second thread: every pixel must still arrive, and alpha must be 255.
TEST(LoadImage, LargePictureArrivesWholeWhileItsBlockIsPrefaulted) {
    TempDir dir;
    rgbaimage big;
    big.Allocate(2500, 1800);  // 18 MB of RGBA
    ASSERT_EQ(big.width, 2500);
    for (int y = 0; y < big.height; ++y)
        for (int x = 0; x < big.width; ++x) {
            unsigned char* p = big.PixelAt(x, y);
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(x ^ y), p[3] = 7;
        }
    std::string path = dir / "big.ppm";
    ASSERT_TRUE(WritePpm(path.c_str(), big));
    rgbaimage back;
    LoadImage(path.c_str(), back);
    ASSERT_EQ(back.width, big.width);
    ASSERT_EQ(back.height, big.height);
    for (int y = 0; y < big.height; ++y)
        for (int x = 0; x < big.width; ++x) {
            const unsigned char* p = back.PixelAt(x, y);
            const unsigned char* q = big.PixelAt(x, y);
            ASSERT_TRUE(p[0] == q[0] && p[1] == q[1] && p[2] == q[2] && p[3] == 255) << x << "," << y;
        }
}
