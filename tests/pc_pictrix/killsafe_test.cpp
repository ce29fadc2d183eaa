// Conversions killed at any moment: the output name holds nothing, the old
// file, or the complete new file, and leftover temporaries are cleaned up
// by the next conversion to the same name, but only when their writer is gone.
#include "imagefile.h"
#include "rgbaimage.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <random>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using testutil::run;

namespace {

// Starts pictrix with the arguments, output discarded; returns its pid.
pid_t spawn(const std::string& in, const std::string& out) {
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, 0), dup2(devnull, 1), dup2(devnull, 2);
        execl(PICTRIX_BIN, PICTRIX_BIN, in.c_str(), out.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    return pid;
}

std::vector<std::string> temporariesOf(const testutil::TempDir& dir, const std::string& base) {
    std::vector<std::string> found;
    for (const auto& n : testutil::listDir(dir.path()))
        if (n.rfind("." + base + ".ifl0-", 0) == 0) found.push_back(n);
    return found;
}

// A pid that no process has: a child that has exited and been reaped.
pid_t deadPid() {
    pid_t pid = fork();
    if (pid == 0) _exit(0);
    waitpid(pid, nullptr, 0);
    return pid;
}

}  // namespace

TEST(CrashSafeOutput, KilledConversionsLeaveTheOldOrTheCompleteNewFile) {
    testutil::TempDir dir;
    // A noisy picture, so that encoding it takes a while.
    rgbaimage picture(1600, 1200);
    std::mt19937 rng(7);
    for (size_t i = 0; i < size_t(1600) * 1200 * 4; ++i) picture.pixels[i] = uint8_t(rng());
    const std::string in = dir / "in.ppm", out = dir / "out.tif", ref = dir / "ref.tif";
    ASSERT_TRUE(SaveImage(in.c_str(), picture));

    auto start = std::chrono::steady_clock::now();
    ASSERT_EQ(run({PICTRIX_BIN, in, ref}).status, 0);
    const double full = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const std::vector<uint8_t> complete = testutil::readFile(ref);
    const std::vector<uint8_t> old = {'o', 'l', 'd', '\n'};
    testutil::writeFile(out, old);

    std::uniform_real_distribution<double> when(0, full * 1.1);
    int killedMidway = 0;
    for (int i = 0; i < 16; ++i) {
        pid_t pid = spawn(in, out);
        std::this_thread::sleep_for(std::chrono::duration<double>(when(rng)));
        kill(pid, SIGKILL);
        int st = 0;
        waitpid(pid, &st, 0);
        if (WIFSIGNALED(st)) ++killedMidway;
        auto now = testutil::readFile(out);
        SCOPED_TRACE("round " + std::to_string(i));
        ASSERT_TRUE(now == old || now == complete) << "the output holds " << now.size() << " other bytes";
    }
    EXPECT_GT(killedMidway, 0);

    ASSERT_EQ(run({PICTRIX_BIN, in, out}).status, 0);
    EXPECT_EQ(testutil::readFile(out), complete);
    EXPECT_EQ(temporariesOf(dir, "out.tif"), std::vector<std::string>());
}

TEST(CrashSafeOutput, OnlyTemporariesOfFinishedWritersOfTheSameNameAreRemoved) {
    testutil::TempDir dir;
    const std::string in = testutil::dataPath("pnm/rgb-p6.ppm");
    const pid_t gone = deadPid();
    const std::string stale = ".out.ppm.ifl0-" + std::to_string(gone) + "-0-1";
    const std::string live = ".out.ppm.ifl0-" + std::to_string(getpid()) + "-0-2";
    const std::string other = ".other.ppm.ifl0-" + std::to_string(gone) + "-0-3";
    const std::string unlike = ".out.ppm.ifl0-x";
    for (const auto& n : {stale, live, other, unlike}) testutil::writeFile(dir / n, std::string("partial"));

    ASSERT_EQ(run({PICTRIX_BIN, in, dir / "out.ppm"}).status, 0);
    EXPECT_FALSE(testutil::fileExists(dir / stale));
    EXPECT_TRUE(testutil::fileExists(dir / live)) << "a running conversion keeps its temporary";
    EXPECT_TRUE(testutil::fileExists(dir / other));
    EXPECT_TRUE(testutil::fileExists(dir / unlike));
    EXPECT_TRUE(testutil::fileExists(dir / "out.ppm"));
}
