// Helpers shared by the tests: files, temporary folders, child processes.
#ifndef TESTS_TESTUTIL_H
#define TESTS_TESTUTIL_H

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

std::vector<uint8_t> readFile(const std::string& path);
void writeFile(const std::string& path, const std::vector<uint8_t>& bytes);
void writeFile(const std::string& path, const std::string& bytes);
bool fileExists(const std::string& path);
// The names in a folder, without . and ..
std::vector<std::string> listDir(const std::string& dir);

// A fresh folder under TMPDIR, removed with its contents on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
    long maxRssKiB = 0;   // the child's peak resident memory
    double seconds = 0;   // wall-clock time from start to exit
};
// Runs argv[0] with the arguments, no standard input, capturing both streams;
// a child still running after two minutes is killed (status 128 + 9).
// setup, if given, runs in the child before exec (for rlimits and the like).
RunResult run(const std::vector<std::string>& argv, void (*setup)() = nullptr);

// The picture in a file as the driver (PICTRIX_BIN) converts it to a PPM
// in dir: false when the driver fails or its PPM does not parse.
bool driverPpm(const TempDir& dir, const std::string& file, int& w, int& h, std::vector<uint8_t>& rgb);

// Silences standard error (the library's one error line per failure) while
// a test provokes many failures.
class QuietStderr {
public:
    QuietStderr();
    ~QuietStderr();
    QuietStderr(const QuietStderr&) = delete;
    QuietStderr& operator=(const QuietStderr&) = delete;

private:
    int saved_;
};

// The CRC-32 of PNG chunks and zlib (polynomial 0xEDB88320), for crafted files.
uint32_t crc32(const uint8_t* p, size_t n);

// The start of a bare JPEG XL codestream declaring a w by h picture of 8-bit
// lossy RGB with extraChannels alpha channels, followed by zeros: headers
// only, no frame.
std::vector<uint8_t> jxlHeader(uint32_t w, uint32_t h, uint32_t extraChannels = 0);

// What a hostile file may cost the driver before it is refused. Under
// AddressSanitizer, freeing an untouched block of up to 1 GiB writes its
// shadow, an eighth of its size, which takes seconds.
#ifdef __SANITIZE_ADDRESS__
constexpr long kHostileMaxRssKiB = 256 * 1024;
constexpr double kHostileMaxSeconds = 30;
#else
constexpr long kHostileMaxRssKiB = 64 * 1024;
constexpr double kHostileMaxSeconds = 5;
#endif

// A path under the project's test data folder.
std::string dataPath(const std::string& name);

}  // namespace testutil

#endif
