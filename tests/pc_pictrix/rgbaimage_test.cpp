// The picture model: addressing, copies, opacity and resampling.
#include "rgbaimage.h"

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>

namespace {

// Fills every pixel with (x, y, x + y, 7) so each is recognisable.
void fillCoords(imagebuf& im) {
    for (int y = 0; y < im.height; ++y)
        for (int x = 0; x < im.width; ++x) {
            unsigned char* p = im.PixelAt(x, y);
            p[0] = uint8_t(x), p[1] = uint8_t(y), p[2] = uint8_t(x + y), p[3] = 7;
        }
}

// The source column and row that pixel (x, y) of im was sampled from.
std::pair<int, int> origin(const imagebuf& im, int x, int y) {
    const unsigned char* p = im.PixelAt(x, y);
    return {p[0], p[1]};
}

}  // namespace

TEST(RgbaImage, DefaultIsEmptyWithARealBlock) {
    rgbaimage im;
    EXPECT_EQ(im.width, 0);
    EXPECT_EQ(im.height, 0);
    EXPECT_NE(im.pixels, nullptr);
}

TEST(RgbaImage, AddressingFollowsRowsOfFourBytePixels) {
    rgbaimage im;
    im.Allocate(3, 2);
    EXPECT_EQ(im.AlphaAt(2, 1) - im.pixels, 23);
    EXPECT_EQ(im.PixelAt(2, 1) - im.pixels, 20);
    EXPECT_EQ(im.PixelAt(0, 1) - im.pixels, 12);
    imagebuf view(im.pixels, im.width, im.height);
    EXPECT_EQ(view.PixelAt(1, 1), im.PixelAt(1, 1));
}

TEST(RgbaImage, SizesBeyondTheModelLeaveItEmpty) {
    rgbaimage im(4, 4);
    im.Allocate(32767, 32767);  // 4 GiB: more than a 32-bit byte count holds
    EXPECT_EQ(im.width, 0);
    EXPECT_EQ(im.height, 0);
    EXPECT_NE(im.pixels, nullptr);
    im.Allocate(-3, 5);
    EXPECT_EQ(im.width, 0);
    EXPECT_EQ(im.height, 0);
}

#if !defined(__SANITIZE_ADDRESS__)
TEST(RgbaImage, FailedAllocationLeavesItEmptyInsteadOfCrashing) {
    pid_t pid = fork();
    if (pid == 0) {
        rlimit lim = {256u << 20, 256u << 20};
        setrlimit(RLIMIT_AS, &lim);
        rgbaimage im;
        im.Allocate(20000, 20000);  // 1.6 GB
        _exit(im.width == 0 && im.height == 0 && im.pixels ? 0 : 1);
    }
    int st = 0;
    waitpid(pid, &st, 0);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
}
#endif

// Blocks of 2 MiB and more are aligned for huge pages; they must still be
// whole, writable blocks that free cleanly when replaced or destroyed.
TEST(RgbaImage, LargeBlocksAreHugePageAlignedWritableAndFreedCleanly) {
    for (int round = 0; round < 3; ++round) {
        rgbaimage im(1500, 1000);  // 6 MB
        ASSERT_EQ(im.width, 1500);
        EXPECT_EQ(reinterpret_cast<uintptr_t>(im.pixels) % (2u << 20), 0u);
        memset(im.pixels, 0xAB, size_t(im.width) * size_t(im.height) * 4);
        EXPECT_EQ(*im.AlphaAt(1499, 999), 0xAB);
        im.Allocate(731, 719);  // just over 2 MiB, then a small one
        ASSERT_EQ(im.width, 731);
        memset(im.pixels, 1, size_t(731) * 719 * 4);
        im.Allocate(10, 10);
        EXPECT_EQ(im.width, 10);
    }
}

#if !defined(__SANITIZE_ADDRESS__)
// Where the system offers transparent huge pages on request, a large block
// gets them: its first touch costs one fault per 2 MiB, not per 4 KiB.
TEST(RgbaImage, LargeBlocksGetHugePagesWhereTheSystemOffersThem) {
    std::string mode;
    if (FILE* f = fopen("/sys/kernel/mm/transparent_hugepage/enabled", "r")) {
        char buf[128] = {0};
        if (fgets(buf, sizeof buf, f)) mode = buf;
        fclose(f);
    }
    if (mode.find("[never]") != std::string::npos || mode.empty()) GTEST_SKIP() << "no transparent huge pages";
    rgbaimage im(4096, 2048);  // 32 MiB
    ASSERT_EQ(im.width, 4096);
    rusage before, after;
    getrusage(RUSAGE_SELF, &before);
    im.SetOpaque();
    getrusage(RUSAGE_SELF, &after);
    EXPECT_LT(after.ru_minflt - before.ru_minflt, 1000) << "8192 faults would mean 4 KiB pages";
}
#endif

TEST(RgbaImage, CopiesAreDeepAndSelfCopiesChangeNothing) {
    rgbaimage a(5, 3);
    fillCoords(a);
    rgbaimage b;
    b.CopyFrom(a);
    ASSERT_EQ(b.width, 5);
    ASSERT_EQ(b.height, 3);
    EXPECT_NE(b.pixels, a.pixels);
    EXPECT_EQ(memcmp(a.pixels, b.pixels, 60), 0);

    b.CopyFrom(b);
    EXPECT_EQ(memcmp(a.pixels, b.pixels, 60), 0);
    b.SetFromPixels(b);
    EXPECT_EQ(memcmp(a.pixels, b.pixels, 60), 0);
    // A view of the picture's own block, smaller than the picture.
    b.SetFromPixels(imagebuf(b.pixels, 5, 2));
    ASSERT_EQ(b.height, 2);
    EXPECT_EQ(memcmp(a.pixels, b.pixels, 40), 0);
}

TEST(RgbaImage, SetOpaqueTouchesOnlyAlpha) {
    rgbaimage im(7, 5);
    fillCoords(im);
    im.SetOpaque();
    for (int y = 0; y < 5; ++y)
        for (int x = 0; x < 7; ++x) {
            const unsigned char* p = im.PixelAt(x, y);
            EXPECT_EQ(p[0], x);
            EXPECT_EQ(p[1], y);
            EXPECT_EQ(p[2], x + y);
            EXPECT_EQ(p[3], 255);
        }
}

TEST(RgbaImage, ShrinkingKeepsTheUpperLeftSampleOfEachBlock) {
    rgbaimage im(4, 4);
    fillCoords(im);
    im.Resize(2, 2);
    ASSERT_EQ(im.width, 2);
    EXPECT_EQ(origin(im, 0, 0), std::make_pair(0, 0));
    EXPECT_EQ(origin(im, 1, 0), std::make_pair(2, 0));
    EXPECT_EQ(origin(im, 0, 1), std::make_pair(0, 2));
    EXPECT_EQ(origin(im, 1, 1), std::make_pair(2, 2));
}

TEST(RgbaImage, EnlargingRepeatsEachPixel) {
    rgbaimage im(2, 2);
    fillCoords(im);
    im.Resize(4, 4);
    ASSERT_EQ(im.height, 4);
    for (int y = 0; y < 4; ++y)
        for (int x = 0; x < 4; ++x) EXPECT_EQ(origin(im, x, y), std::make_pair(x / 2, y / 2));
}

TEST(RgbaImage, ResamplingTruncatesTowardsZero) {
    rgbaimage im(3, 1);
    fillCoords(im);
    im.Resize(2, 1);
    EXPECT_EQ(origin(im, 0, 0).first, 0);
    EXPECT_EQ(origin(im, 1, 0).first, 1);  // 1 x 1.5 truncates to 1
}

TEST(RgbaImage, ResamplingAnEmptySourceLeavesTransparentBlack) {
    rgbaimage im(3, 2);
    fillCoords(im);
    imagebuf empty;
    im.ResampleFrom(empty);
    for (int i = 0; i < 24; ++i) EXPECT_EQ(im.pixels[i], 0);
    rgbaimage none;
    none.Resize(2, 2);
    ASSERT_EQ(none.width, 2);
    for (int i = 0; i < 16; ++i) EXPECT_EQ(none.pixels[i], 0);
}
