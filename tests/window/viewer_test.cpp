// The pictrix program run as a separate process on a picture file: its
// window is found and photographed through the X server, clicked and typed
// into, and closed the way a window manager closes windows.
#include <gtest/gtest.h>

#include "testutil.h"
#include "winutil.h"

#include <X11/Xutil.h>
#include <X11/keysym.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstdio>
#include <fcntl.h>
#include <string>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace winutil;

namespace {

const int kW = 23, kH = 17;  // tests/data/window/pattern.*

std::vector<unsigned char> PatternRgb() {
    std::vector<unsigned char> rgb;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x) {
            rgb.push_back((unsigned char)((x * 11 + y * 3) & 255));
            rgb.push_back((unsigned char)((y * 15 + x) & 255));
            rgb.push_back((unsigned char)(((x ^ y) * 9) & 255));
        }
    return rgb;
}

std::string ReadAll(const std::string& path) {
    auto bytes = testutil::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// A child process with stdout and stderr sent to files.
class Child {
public:
    Child(const std::vector<std::string>& argv, const testutil::TempDir& dir)
        : outPath_(dir / "stdout"), errPath_(dir / "stderr") {
        pid_ = fork();
        if (pid_ == 0) {
            int in = open("/dev/null", O_RDONLY);
            int out = open(outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int err = open(errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(in, 0);
            dup2(out, 1);
            dup2(err, 2);
            // Mesa's software driver leaves allocations behind when GLUT
            // closes the display and unloads it; the leak checker cannot
            // tell them from the program's there.
            std::string asan = getenv("ASAN_OPTIONS") ? getenv("ASAN_OPTIONS") : "";
            setenv("ASAN_OPTIONS", (asan + ":detect_leaks=0").c_str(), 1);
            std::vector<char*> args;
            for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
    }
    ~Child() {
        if (pid_ > 0 && status_ < 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    // Whether it has ended; its exit status is then in status().
    bool Ended() {
        if (status_ >= 0) return true;
        int st;
        if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
        return true;
    }
    bool WaitEnd(int timeoutMs) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!Ended()) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return true;
    }
    int status() const { return status_; }
    std::string Out() const { return ReadAll(outPath_); }
    std::string Err() const { return ReadAll(errPath_); }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string outPath_, errPath_;
};

// The viewable top-level window of the given size, or 0.
Window FindTopLevel(int w, int h) {
    Window root, parent, *children = nullptr, found = 0;
    unsigned n = 0;
    XQueryTree(X(), DefaultRootWindow(X()), &root, &parent, &children, &n);
    for (unsigned i = 0; i < n; ++i) {
        XWindowAttributes a;
        if (XGetWindowAttributes(X(), children[i], &a) && !a.override_redirect &&
            a.map_state == IsViewable && a.width == w && a.height == h)
            found = children[i];
    }
    if (children) XFree(children);
    return found;
}

bool Eventually(const std::function<bool()>& done, int timeoutMs = 10000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (done()) return true;
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class Viewer : public testing::TestWithParam<const char*> {};

TEST_P(Viewer, ShowsThePictureTakesInputAndEndsCleanlyWhenClosed) {
    testutil::TempDir dir;
    Child pictrix({PICTRIX_BIN, testutil::dataPath(std::string("window/") + GetParam())}, dir);

    Window win = 0;
    ASSERT_TRUE(Eventually([&] { return (win = FindTopLevel(kW, kH)) != 0 || pictrix.Ended(); }))
        << pictrix.Out();
    if (!win) {
        if (pictrix.Out().find("Image Size X: 0 ") != std::string::npos)
            GTEST_SKIP() << "this build cannot read " << GetParam() << " yet";
        FAIL() << "no window; status " << pictrix.status() << "\n" << pictrix.Out() << pictrix.Err();
    }
    EXPECT_NE(pictrix.Out().find("\nImage Size X: 23 Y: 17\n\n"), std::string::npos) << pictrix.Out();

    // Without a window manager the window keeps GLUT's default place, partly
    // off the screen; move it in as a window manager would place it. The
    // uncovered part is redrawn on the exposure.
    XMoveWindow(X(), win, 10, 12);
    XSync(X(), False);
    int x = 0, y = 0;
    ASSERT_TRUE(Eventually([&] {
        RootPosition(win, x, y);
        return x == 10 && y == 12;
    }));
    std::vector<unsigned char> want = PatternRgb(), shot;
    Eventually([&] { return (shot = ScreenRgb(x, y, kW, kH)) == want; }, 5000);
    ASSERT_EQ(shot.size(), want.size());
    for (size_t i = 0; i < want.size(); ++i)
        ASSERT_EQ(shot[i], want[i]) << "pixel " << i / 3 % kW << "," << i / 3 / kW << " channel " << i % 3;

    // Two clicks, a drag and two keys: the base handlers answer once each.
    MoveTo(x + 5, y + 5);
    Click(1);
    Button(1, true);
    MoveTo(x + 8, y + 8);
    MoveTo(x + 10, y + 10);
    Button(1, false);
    Type(XK_q);
    Type(XK_w);
    // The program's trace lines reach the file when it exits; X delivers
    // the input before the close request sent after it.
    SendDelete(win);
    ASSERT_TRUE(pictrix.WaitEnd(5000)) << "still running after the window was closed";
    EXPECT_EQ(pictrix.status(), 0);
    std::string out = pictrix.Out();
    EXPECT_EQ(CountLines(out, "base moouse"), 1) << out;
    EXPECT_EQ(CountLines(out, "base motion"), 1) << out;
    EXPECT_EQ(CountLines(out, "base keyboard"), 1) << out;
    EXPECT_EQ(CountLines(out, "glutwin idle"), 1) << out;
    EXPECT_GE(CountLines(out, "base reshape"), 1) << out;
    EXPECT_EQ(CountLines(out, "hide window in imagewin"), 0) << out;
    // The window is destroyed on the way out, the last one registered.
    EXPECT_EQ(out.substr(out.size() - std::min<size_t>(out.size(), 27)), "windowlist remaining (nil)\n");
    EXPECT_EQ(pictrix.Err(), "");
}

INSTANTIATE_TEST_SUITE_P(Files, Viewer, testing::Values("pattern.ppm", "pattern.bmp"),
                         [](const testing::TestParamInfo<const char*>& i) {
                             return std::string(i.param).substr(8, 3);
                         });

}  // namespace
