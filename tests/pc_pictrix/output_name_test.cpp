// The driver converting to a name that is not a plain file: a protected
// file, a folder, a link to a device, a FIFO. Refusals come at create, with
// the driver's create-failure message, and leave the name untouched.
#include "testutil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using testutil::run;
using testutil::TempDir;

namespace {

void becomeNobody() {
    if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
}

// The input, copied where user nobody may read it.
std::string input(const TempDir& dir) {
    std::string in = dir / "in.ppm";
    testutil::writeFile(in, testutil::readFile(testutil::dataPath("pnm/rgb-p6.ppm")));
    chmod(in.c_str(), 0644);
    return in;
}

const std::string kSize = "\nImage Size X: 4 Y: 3\n\n";

}  // namespace

TEST(DriverOutputName, WriteProtectedFileOfAnotherUserIsRefusedAndUntouched) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run as user nobody";
    TempDir dir;
    chmod(dir.path().c_str(), 0777);  // nobody could replace it, but may not write it
    const std::string in = input(dir), out = dir / "out.jpg";
    testutil::writeFile(out, std::string("protected"));
    ASSERT_EQ(chown(out.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(out.c_str(), 0444), 0);

    auto r = run({PICTRIX_BIN, in, out}, becomeNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSize);
    EXPECT_EQ(r.err, "ifl0: " + out + ": cannot create file: Permission denied\n"
                     "can't open file to write jpg!: Permission denied\n");
    EXPECT_EQ(testutil::readFile(out), std::vector<uint8_t>({'p', 'r', 'o', 't', 'e', 'c', 't', 'e', 'd'}));
    struct stat st;
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0444u);
    EXPECT_EQ(testutil::listDir(dir.path()).size(), 2u);
}

TEST(DriverOutputName, FolderIsRefusedAtCreateAndNothingIsWritten) {
    TempDir dir;
    const std::string in = input(dir), out = dir / "out.jpg";
    ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
    auto r = run({PICTRIX_BIN, in, out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSize);
    EXPECT_EQ(r.err, "ifl0: " + out + ": cannot create file: Is a directory\n"
                     "can't open file to write jpg!: Is a directory\n");
    EXPECT_EQ(testutil::listDir(out), std::vector<std::string>());
    EXPECT_EQ(testutil::listDir(dir.path()).size(), 2u);

    // A name ending in a slash is a folder too, though it has no ending.
    const std::string slashed = dir / "new.jpg/";
    r = run({PICTRIX_BIN, in, slashed});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, kSize + "Known file extensions jpg, ppm, tif only\n");
    EXPECT_EQ(r.err, "ifl0: " + slashed + ": cannot create file: Is a directory\n"
                     "can't open file to write jpg!: Is a directory\n");
    EXPECT_EQ(testutil::listDir(dir.path()).size(), 2u);
}

TEST(DriverOutputName, LinkToDevNullStaysALinkAndNothingElseAppears) {
    TempDir dir;
    const std::string in = input(dir), out = dir / "out.ppm";
    ASSERT_EQ(symlink("/dev/null", out.c_str()), 0);
    auto r = run({PICTRIX_BIN, in, out});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    struct stat st;
    ASSERT_EQ(lstat(out.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
    EXPECT_EQ(testutil::listDir(dir.path()).size(), 2u);
}

TEST(DriverOutputName, TiffIntoAFifoReachesItsReaderWhole) {
    TempDir dir;
    const std::string in = input(dir), fifo = dir / "out.tif", got = dir / "got", ref = dir / "ref.tif";
    ASSERT_EQ(run({PICTRIX_BIN, in, ref}).status, 0);
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    pid_t reader = fork();
    if (reader == 0) {
        alarm(10);  // not for ever when the FIFO is not written
        int fd = open(fifo.c_str(), O_RDONLY);
        std::vector<uint8_t> all;
        uint8_t buf[4096];
        ssize_t n;
        while (fd >= 0 && (n = read(fd, buf, sizeof buf)) > 0) all.insert(all.end(), buf, buf + n);
        testutil::writeFile(got, all);
        _exit(fd >= 0 ? 0 : 1);
    }
    auto r = run({PICTRIX_BIN, in, fifo});
    int status = 0;
    waitpid(reader, &status, 0);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(status, 0);
    EXPECT_EQ(testutil::readFile(got), testutil::readFile(ref));
    struct stat st;
    ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(testutil::listDir(dir.path()).size(), 4u);
}
