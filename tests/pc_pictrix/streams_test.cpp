// Inputs that are not plain files, and inputs too large for the memory the
// process may have, through the pictrix executable.
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

using testutil::run;

namespace {

void expectRefused(const testutil::RunResult& r, const std::string& name, const std::string& reason) {
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("Image Size X: 0 Y: 0"), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "ifl0: " + name + ": " + reason + "\n");
}

// Writes bytes into a FIFO once a reader opens it.
class FifoWriter {
public:
    FifoWriter(const std::string& path, std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
        signal(SIGPIPE, SIG_IGN);
        if (mkfifo(path.c_str(), 0600) != 0) ADD_FAILURE() << "no FIFO";
        thread_ = std::thread([this, path] {
            int fd = open(path.c_str(), O_WRONLY);
            for (size_t at = 0; fd >= 0 && at < bytes_.size();) {
                ssize_t n = write(fd, bytes_.data() + at, bytes_.size() - at);
                if (n <= 0) break;
                at += size_t(n);
            }
            if (fd >= 0) close(fd);
        });
    }
    ~FifoWriter() { thread_.join(); }

private:
    std::vector<uint8_t> bytes_;
    std::thread thread_;
};

// An 8000 x 8000 picture: a 244 MiB block, more than a 200 MB address
// space can hold.
std::vector<uint8_t> bigPpm() {
    std::string header = "P6 8000 8000 255\n";
    std::vector<uint8_t> b(header.begin(), header.end());
    b.resize(b.size() + size_t(8000) * 8000 * 3, 0x40);
    return b;
}

void limitAddressSpace() {
    rlimit lim = {200000 * 1024, 200000 * 1024};
    setrlimit(RLIMIT_AS, &lim);
}

}  // namespace

// A device or a stream that does not begin like a picture is refused from
// its first bytes, before it fills memory.
TEST(DriverInput, DevicesThatAreNoPictureAreRefusedAtOnce) {
    testutil::TempDir dir;
    for (const char* device : {"/dev/zero", "/dev/urandom"}) {
        auto r = run({PICTRIX_BIN, device, dir / "out.png"});
        expectRefused(r, device, "not an image file of a known format");
        EXPECT_LT(r.maxRssKiB, 64 * 1024) << device;
        EXPECT_FALSE(testutil::fileExists(dir / "out.png"));
    }
}

TEST(DriverInput, APictureConvertsFromAFifo) {
    testutil::TempDir dir;
    const std::string fifo = dir / "in.ppm", out = dir / "out.ppm", direct = dir / "direct.ppm";
    const std::string source = testutil::dataPath("pnm/rgb-p6.ppm");
    FifoWriter writer(fifo, testutil::readFile(source));
    auto r = run({PICTRIX_BIN, fifo, out});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    ASSERT_EQ(run({PICTRIX_BIN, source, direct}).status, 0);
    EXPECT_EQ(testutil::readFile(out), testutil::readFile(direct));
}

// Running out of memory while loading, in the picture's block or in the
// library reading a stream, is one line naming the file and status 1.
TEST(DriverInput, NoMemoryForThePictureIsOneLineNotAnAbort) {
#ifdef __SANITIZE_ADDRESS__
    GTEST_SKIP() << "the sanitizer's shadow memory needs more address space than the limit leaves";
#endif
    testutil::TempDir dir;
    const std::string file = dir / "big.ppm", fifo = dir / "big-fifo.ppm";
    const std::vector<uint8_t> big = bigPpm();
    testutil::writeFile(file, big);
    auto r = run({PICTRIX_BIN, file, dir / "out.jpg"}, limitAddressSpace);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(r.err, file + ": Cannot allocate memory\n");
    EXPECT_NE(r.out.find("Image Size X: 0 Y: 0"), std::string::npos) << r.out;

    FifoWriter writer(fifo, big);
    r = run({PICTRIX_BIN, fifo, dir / "out.jpg"}, limitAddressSpace);
    expectRefused(r, fifo, "out of memory");
    EXPECT_FALSE(testutil::fileExists(dir / "out.jpg"));
}
