// The pictrix executable run as a process: its exact output and exit status.
#include "testutil.h"

#include <gtest/gtest.h>

using testutil::run;

TEST(Driver, NoArgumentsPrintsUsageAndExits2) {
    auto r = run({PICTRIX_BIN});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "Usage: pictrix <filename> [new image format filename]\n");
    EXPECT_EQ(r.err, "");
}

TEST(Driver, MissingFileReportsBothMessagesZeroSizeAndExits1) {
    testutil::TempDir dir;
    std::string missing = dir / "nothing.png", out = dir / "out.jpg";
    auto r = run({PICTRIX_BIN, missing, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Could not open image file : " + missing + "\nCould not open file:" + missing +
                         ":\n\nImage Size X: 0 Y: 0\n\n");
    EXPECT_EQ(r.err, "ifl0: " + missing + ": No such file or directory\n");
    EXPECT_FALSE(testutil::fileExists(out)) << "no output is attempted for a picture that did not load";
}

TEST(Driver, FileThatIsNoImagePrintsOnlyTheOpenFailure) {
    testutil::TempDir dir;
    std::string text = dir / "notes.jpg";
    testutil::writeFile(text, std::string("just some words, not a picture\n"));
    auto r = run({PICTRIX_BIN, text});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Could not open file:" + text + ":\n\nImage Size X: 0 Y: 0\n\n");
    EXPECT_EQ(r.err, "ifl0: " + text + ": not an image file of a known format\n");
}

TEST(Driver, EmptyFileAndFolderAreRefusedWithAReason) {
    testutil::TempDir dir;
    std::string empty = dir / "empty.png";
    testutil::writeFile(empty, std::string());
    auto r = run({PICTRIX_BIN, empty});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "ifl0: " + empty + ": empty file\n");
    r = run({PICTRIX_BIN, dir.path()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Could not open file:" + dir.path() + ":\n\nImage Size X: 0 Y: 0\n\n");
    EXPECT_EQ(r.err, "ifl0: " + dir.path() + ": Is a directory\n");
}

// The window libraries are opened only to show a picture: loading them costs
// more than converting a small one.
TEST(Driver, ConvertingLoadsNoWindowLibrary) {
    testutil::TempDir dir;
    std::string out = dir / "sunrise.jpg";
    auto r = run({PICTRIX_BIN, SAMPLES_DIR "/sunrise.png", out}, [] { setenv("LD_DEBUG", "files", 1); });
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("libjpeg"), std::string::npos) << "the loader's trace is missing:\n" << r.err;
    for (const char* lib : {"libglut", "libGL", "libX11", "libxcb"})
        EXPECT_EQ(r.err.find(lib), std::string::npos) << lib << " was loaded:\n" << r.err;
}
