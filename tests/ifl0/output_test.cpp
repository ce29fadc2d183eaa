// What a created file's name holds afterwards when it is a symbolic link, a
// file with other hard links or another owner, a device or a folder, and a
// caller's pipe. FIFOs and the driver's messages: pc_pictrix/output_name_test.
#include "ifl0.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

using testutil::listDir;
using testutil::readFile;
using testutil::TempDir;

namespace {

const int kW = 5, kH = 4;

std::vector<uint8_t> picture() {
    std::vector<uint8_t> px(size_t(kW) * kH * 3);
    for (size_t i = 0; i < px.size(); ++i) px[i] = uint8_t(i * 37 + 11);
    return px;
}

// Creates name (fd < 0) or writes to fd; returns null with the status on
// failure, errno kept.
iflFile* create(const std::string& name, iflStatus& st, int fd = -1, iflFormat* format = nullptr) {
    iflSize size(kW, kH, 3);
    iflFileConfig config(&size);
    iflFile* f;
    int e;
    {
        testutil::QuietStderr quiet;
        f = iflFile::create(fd, name.c_str(), nullptr, &config, format, &st);
        e = errno;
    }
    errno = e;
    return f;
}

iflStatus finish(iflFile* f) {
    std::vector<uint8_t> px = picture();
    testutil::QuietStderr quiet;
    iflStatus st = f->setTile(0, 0, 0, kW, kH, 1, px.data(), nullptr);
    f->close();
    return st;
}

iflStatus write(const std::string& name, int fd = -1) {
    iflStatus st;
    iflFile* f = create(name, st, fd);
    return f ? finish(f) : st;
}

// The bytes the picture has as a new plain file of this ending.
std::vector<uint8_t> reference(const std::string& ending) {
    TempDir dir;
    EXPECT_EQ(write(dir / ("ref." + ending)), iflSuccess);
    return readFile(dir / ("ref." + ending));
}

std::vector<std::string> sorted(std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
}

std::string linkText(const std::string& path) {
    char buf[4096];
    ssize_t n = readlink(path.c_str(), buf, sizeof buf);
    return n < 0 ? std::string() : std::string(buf, size_t(n));
}

// Longer than the new picture, so that a rewrite must cut it to length.
const std::vector<uint8_t> kOld = [] {
    std::string s = "old bytes" + std::string(200, '.');
    return std::vector<uint8_t>(s.begin(), s.end());
}();

}  // namespace

TEST(OutputName, SymbolicLinkIsFollowedAndItsTargetReplacedBesideIt) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "pictures").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir / "links").c_str(), 0755), 0);
    const std::string target = dir / "pictures/p.ppm", link = dir / "links/p.ppm";
    testutil::writeFile(target, kOld);
    ASSERT_EQ(symlink("../pictures/p.ppm", link.c_str()), 0);

    iflStatus st;
    iflFile* f = create(link, st);
    ASSERT_NE(f, nullptr);
    // While the picture is encoded its temporary stands beside the target.
    EXPECT_EQ(listDir(dir / "links"), std::vector<std::string>{"p.ppm"});
    std::vector<std::string> during = listDir(dir / "pictures");
    ASSERT_EQ(during.size(), 2u);
    EXPECT_EQ(sorted(during)[0].rfind(".p.ppm.ifl0-", 0), 0u);
    ASSERT_EQ(finish(f), iflSuccess);

    EXPECT_EQ(linkText(link), "../pictures/p.ppm");
    EXPECT_EQ(readFile(target), reference("ppm"));
    EXPECT_EQ(listDir(dir / "pictures"), std::vector<std::string>{"p.ppm"});
    EXPECT_EQ(listDir(dir / "links"), std::vector<std::string>{"p.ppm"});
}

TEST(OutputName, ChainOfLinksEndingNowhereCreatesTheFinalTargetAndLoopsFail) {
    TempDir dir;
    ASSERT_EQ(symlink("second.ppm", (dir / "first.ppm").c_str()), 0);
    ASSERT_EQ(symlink((dir / "new.ppm").c_str(), (dir / "second.ppm").c_str()), 0);
    ASSERT_EQ(write(dir / "first.ppm"), iflSuccess);
    EXPECT_EQ(linkText(dir / "first.ppm"), "second.ppm");
    EXPECT_EQ(linkText(dir / "second.ppm"), dir / "new.ppm");
    EXPECT_EQ(readFile(dir / "new.ppm"), reference("ppm"));
    EXPECT_EQ(listDir(dir.path()).size(), 3u);

    ASSERT_EQ(symlink("b.ppm", (dir / "a.ppm").c_str()), 0);
    ASSERT_EQ(symlink("a.ppm", (dir / "b.ppm").c_str()), 0);
    iflStatus st;
    errno = 0;
    EXPECT_EQ(create(dir / "a.ppm", st), nullptr);
    EXPECT_EQ(errno, ELOOP);
    EXPECT_EQ(st, iflErrIO);
}

// Read-only for its owner too: root may write it all the same, as the
// system, not the mode bits, decides.
TEST(OutputName, ReplacedFileKeepsOwnerGroupAndModeIncludingSetId) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to give the file away";
    TempDir dir;
    const std::string name = dir / "owned.ppm";
    testutil::writeFile(name, kOld);
    ASSERT_EQ(chown(name.c_str(), 65534, 65534), 0);
    ASSERT_EQ(chmod(name.c_str(), 04551), 0);
    struct stat before;
    ASSERT_EQ(stat(name.c_str(), &before), 0);

    ASSERT_EQ(write(name), iflSuccess);
    struct stat after;
    ASSERT_EQ(stat(name.c_str(), &after), 0);
    EXPECT_NE(after.st_ino, before.st_ino) << "a single-link file is replaced, not rewritten";
    EXPECT_EQ(after.st_uid, 65534u);
    EXPECT_EQ(after.st_gid, 65534u);
    EXPECT_EQ(after.st_mode & 07777, 04551u);
    EXPECT_EQ(readFile(name), reference("ppm"));
}

TEST(OutputName, HardLinkedFileIsRewrittenSoEveryNameSeesTheNewPicture) {
    TempDir dir;
    const std::string a = dir / "a.ppm", b = dir / "b.ppm";
    testutil::writeFile(a, kOld);
    ASSERT_EQ(link(a.c_str(), b.c_str()), 0);
    struct stat before;
    ASSERT_EQ(stat(a.c_str(), &before), 0);

    // A conversion that never completes leaves both names untouched.
    iflStatus st;
    iflFile* f = create(a, st);
    ASSERT_NE(f, nullptr);
    f->close();
    EXPECT_EQ(readFile(a), kOld);
    EXPECT_EQ(listDir(dir.path()).size(), 2u);

    ASSERT_EQ(write(a), iflSuccess);
    struct stat after;
    ASSERT_EQ(stat(a.c_str(), &after), 0);
    EXPECT_EQ(after.st_ino, before.st_ino);
    EXPECT_EQ(after.st_nlink, 2u);
    EXPECT_EQ(readFile(a), reference("ppm"));
    EXPECT_EQ(readFile(b), reference("ppm"));
    EXPECT_EQ(sorted(listDir(dir.path())), (std::vector<std::string>{"a.ppm", "b.ppm"}));
}

TEST(OutputName, CallersPipeGetsTheWholeTiff) {
    int p[2];
    ASSERT_EQ(pipe(p), 0);
    iflStatus st = write("pipe.tif", p[1]);
    close(p[1]);
    std::vector<uint8_t> all;
    uint8_t buf[4096];
    ssize_t n;
    while ((n = read(p[0], buf, sizeof buf)) > 0) all.insert(all.end(), buf, buf + n);
    close(p[0]);
    EXPECT_EQ(st, iflSuccess);
    EXPECT_EQ(all, reference("tif"));
}

TEST(OutputName, DeviceBehindALinkIsWrittenAndItsErrorComesBack) {
    struct stat s;
    if (stat("/dev/full", &s) != 0) GTEST_SKIP() << "no /dev/full";
    TempDir dir;
    const std::string full = dir / "full.ppm";
    ASSERT_EQ(symlink("/dev/full", full.c_str()), 0);
    EXPECT_EQ(write(full), iflErrIO);
    EXPECT_EQ(linkText(full), "/dev/full");
    ASSERT_EQ(stat("/dev/full", &s), 0);
    EXPECT_TRUE(S_ISCHR(s.st_mode));
    EXPECT_EQ(listDir(dir.path()), std::vector<std::string>{"full.ppm"});
}

TEST(OutputName, FolderFailsAtCreateWithIsADirectory) {
    TempDir dir;
    ASSERT_EQ(mkdir((dir / "out.ppm").c_str(), 0755), 0);
    ASSERT_EQ(symlink("out.ppm", (dir / "link.ppm").c_str()), 0);
    iflFormat* ppm = iflFormat::find("PNM");
    ASSERT_NE(ppm, nullptr);
    for (const std::string& name : {dir / "out.ppm", dir / "link.ppm", dir / "new/", dir / "out.ppm/"}) {
        SCOPED_TRACE(name);
        iflStatus st;
        errno = 0;
        EXPECT_EQ(create(name, st, -1, ppm), nullptr);
        EXPECT_EQ(errno, EISDIR);
        EXPECT_EQ(st, iflErrIO);
    }
    EXPECT_EQ(listDir(dir / "out.ppm"), std::vector<std::string>());
    EXPECT_EQ(sorted(listDir(dir.path())), (std::vector<std::string>{"link.ppm", "out.ppm"}));
}
