// The library's boundary: what crosses it when memory runs out inside a
// module or the core, and how input that is not a regular file is read.
#include <ifl0.h>

#include "codec.h"
#include "picture.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <csignal>
#include <cstdlib>
#include <new>
#include <thread>
#include <unistd.h>

// Every C++ allocation of this test program goes through here, so that a
// test can make the n-th one fail, wherever in the library it happens.
// Allocation and release are malloc and free, consistently.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
namespace {
std::atomic<long> allocationsLeft{-1};  // -1: never fail
}

void* operator new(size_t n) {
    if (allocationsLeft.load() >= 0 && allocationsLeft.fetch_sub(1) <= 0) throw std::bad_alloc();
    if (void* p = malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void* operator new[](size_t n) { return operator new(n); }
void* operator new(size_t n, const std::nothrow_t&) noexcept {
    try {
        return operator new(n);
    } catch (...) {
        return nullptr;
    }
}
void* operator new[](size_t n, const std::nothrow_t& t) noexcept { return operator new(n, t); }
void operator delete(void* p) noexcept { free(p); }
void operator delete[](void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }
void operator delete[](void* p, size_t) noexcept { free(p); }

namespace {

// Counts down allocations only while the library is called: the test's own
// allocations in between are not counted.
class FailingAllocations {
public:
    explicit FailingAllocations(long n) : left_(n) {}
    template <typename Call>
    auto operator()(Call&& call) {
        allocationsLeft = left_;
        auto result = call();
        left_ = allocationsLeft.exchange(-1);
        return result;
    }

private:
    long left_;
};

// Reads a whole picture with the n-th C++ allocation inside the library
// failing. Returns the status; err gets what the library printed.
iflStatus readFailingAt(const std::vector<uint8_t>& bytes, long n, std::string& err) {
    testing::internal::CaptureStderr();
    FailingAllocations failing(n);
    iflStatus st;
    iflFile* f = failing([&] { return iflFile::openMemory(bytes.data(), bytes.size(), "memory", nullptr, &st); });
    if (f) {
        iflSize s;
        f->getDimensions(s);
        std::vector<uint8_t> tile(size_t(s.x) * s.y * 4);
        st = failing([&] { return f->getTile(0, 0, 0, s.x, s.y, 1, tile.data(), nullptr); });
        f->close();
    }
    err = testing::internal::GetCapturedStderr();
    return st;
}

// Writes a 300 x 200 picture (two threads filter PNG rows, encode JPEG
// bands) with the n-th C++ allocation failing.
iflStatus writeFailingAt(const std::string& path, long n, std::string& err) {
    const int w = 300, h = 200;
    std::vector<uint8_t> px(size_t(w) * h * 4, 0x5a);
    testing::internal::CaptureStderr();
    iflSize size(w, h, 3);
    iflFileConfig config(&size);
    FailingAllocations failing(n);
    iflStatus st;
    iflFile* f = failing([&] { return iflFile::create(-1, path.c_str(), nullptr, &config, nullptr, &st); });
    if (f) {
        st = failing([&] { return f->setTile(0, 0, 0, w, h, 1, px.data()); });
        f->close();
    }
    err = testing::internal::GetCapturedStderr();
    return st;
}

void expectOneLineAbout(const std::string& err, const std::string& name) {
    EXPECT_EQ(err.rfind("ifl0: " + name + ": ", 0), 0u) << err;
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}

}  // namespace

// Each allocation in turn fails: the call reports running out of memory
// with one line, never throws, and a later read succeeds.
TEST(LibraryBoundary, EveryFailedAllocationWhileReadingBecomesAStatus) {
    const std::string kFiles[] = {
        "gif/interlaced.gif", "tiff/rgb-tiled.tif", "tiff/orient6-planar.tif", "webp/animated.webp",
        "jpeg/quads-progressive.jpg", "bmp/rle8.bmp", "pnm/rgb-p6.ppm", "tga/mapped-rle.tga", "ico/png.ico",
        "ico/pal8-mask.ico", "qoi/rgba.qoi",
        // Two threads decode its strips.
        "../../fuzz/corpus/tiff/grey-lzw-2mp-strips.tif",
    };
    for (const std::string& name : kFiles) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = testutil::readFile(testutil::dataPath(name));
        long n = 0;
        for (; n < 10000; ++n) {
            std::string err;
            iflStatus st = readFailingAt(bytes, n, err);
            if (st == iflSuccess) break;
            ASSERT_EQ(st, iflErrNoMemory) << "allocation " << n << ": " << err;
            expectOneLineAbout(err, "memory");
            EXPECT_NE(err.find("out of memory"), std::string::npos) << err;
        }
        EXPECT_GT(n, 0) << "the read never allocated";
        EXPECT_LT(n, 10000);
    }
}

TEST(LibraryBoundary, EveryFailedAllocationWhileWritingBecomesAStatusAndLeavesNothing) {
    for (const char* ending : {"png", "jpg", "tif", "webp", "bmp", "ppm", "tga", "qoi"}) {
        SCOPED_TRACE(ending);
        testutil::TempDir dir;
        const std::string path = dir / (std::string("out.") + ending);
        long n = 0;
        for (; n < 10000; ++n) {
            std::string err;
            iflStatus st = writeFailingAt(path, n, err);
            if (st == iflSuccess) break;
            ASSERT_EQ(st, iflErrNoMemory) << "allocation " << n << ": " << err;
            expectOneLineAbout(err, path);
            EXPECT_TRUE(testutil::listDir(dir.path()).empty()) << "allocation " << n;
        }
        EXPECT_LT(n, 10000);
        testutil::Picture written;
        EXPECT_EQ(testutil::readPicture(testutil::readFile(path), written), iflSuccess);
    }
}

namespace {

// Feeds bytes into a pipe from another thread; the reading end is fd().
class Pipe {
public:
    explicit Pipe(std::vector<uint8_t> bytes, size_t repeatTail = 0) : bytes_(std::move(bytes)) {
        if (pipe(fds_) != 0) ADD_FAILURE() << "no pipe";
        writer_ = std::thread([this, repeatTail] {
            size_t at = 0;
            while (at < bytes_.size()) {
                ssize_t n = write(fds_[1], bytes_.data() + at, bytes_.size() - at);
                if (n <= 0) break;
                at += size_t(n);
            }
            // Then the same zeros again and again, until the reader stops.
            std::vector<uint8_t> zeros(65536, 0);
            for (size_t sent = 0; at == bytes_.size() && sent < repeatTail;) {
                ssize_t n = write(fds_[1], zeros.data(), zeros.size());
                if (n <= 0) break;
                sent += size_t(n);
            }
            ::close(fds_[1]);
        });
    }
    ~Pipe() {
        ::close(fds_[0]);
        writer_.join();
    }
    int fd() const { return fds_[0]; }

private:
    std::vector<uint8_t> bytes_;
    int fds_[2] = {-1, -1};
    std::thread writer_;
};

iflStatus readFd(int fd, testutil::Picture& pic, std::string& err) {
    testing::internal::CaptureStderr();
    iflStatus st;
    iflFile* f = iflFile::open(fd, "pipe", 0, nullptr, &st);
    if (f) {
        iflSize s;
        f->getDimensions(s);
        pic.w = s.x, pic.h = s.y;
        pic.px.resize(size_t(s.x) * s.y * 4);
        iflConfig layout(iflUInt8, iflInterleaved, 4, testutil::kRGBA);
        st = f->getTile(0, 0, 0, s.x, s.y, 1, pic.px.data(), &layout);
        f->close();
    }
    err = testing::internal::GetCapturedStderr();
    return st;
}

}  // namespace

TEST(StreamInput, APictureReadsFromAPipeAsFromItsFile) {
    signal(SIGPIPE, SIG_IGN);
    for (const char* name : {"pnm/rgb-p6.ppm", "tiff/rgb-lzw.tif", "webp/alpha.webp"}) {
        SCOPED_TRACE(name);
        const std::vector<uint8_t> bytes = testutil::readFile(testutil::dataPath(name));
        testutil::Picture fromFile, fromPipe;
        ASSERT_EQ(testutil::readPicture(bytes, fromFile), iflSuccess);
        std::string err;
        Pipe p(bytes);
        ASSERT_EQ(readFd(p.fd(), fromPipe, err), iflSuccess) << err;
        EXPECT_EQ(fromPipe.w, fromFile.w);
        EXPECT_EQ(fromPipe.px, fromFile.px);
    }
}

TEST(StreamInput, UnknownContentIsRefusedFromItsFirstBytes) {
    signal(SIGPIPE, SIG_IGN);
    // Far more than memory could hold, were it read whole.
    Pipe p(std::vector<uint8_t>(100, 0x42), size_t(1) << 40);
    testutil::Picture pic;
    std::string err;
    EXPECT_EQ(readFd(p.fd(), pic, err), iflErrUnknownFormat);
    EXPECT_EQ(err, "ifl0: pipe: not an image file of a known format\n");
}

TEST(StreamInput, InputBeyondWhatThePictureLimitsNeedIsRefused) {
    signal(SIGPIPE, SIG_IGN);
    const int64_t saved = ifl0::maxPixels;
    ifl0::maxPixels = 1;  // the cap becomes 64 MiB and 8 bytes
    std::string header = "P6 1 1 255\n";
    Pipe p(std::vector<uint8_t>(header.begin(), header.end()), size_t(65) << 20);
    testutil::Picture pic;
    std::string err;
    iflStatus st = readFd(p.fd(), pic, err);
    ifl0::maxPixels = saved;
    EXPECT_EQ(st, iflErrTooLarge);
    EXPECT_EQ(err, "ifl0: pipe: more than 64 MiB of input, beyond any picture within the size limits\n");
}
