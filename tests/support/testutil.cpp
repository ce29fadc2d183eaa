#include "testutil.h"

#include "psnr.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <fcntl.h>
#include <chrono>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

namespace testutil {

uint32_t crc32(const uint8_t* p, size_t n) {
    uint32_t c = 0xffffffffu;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k) c = (c >> 1) ^ (0xedb88320u & (0u - (c & 1)));
    }
    return ~c;
}

bool driverPpm(const TempDir& dir, const std::string& file, int& w, int& h, std::vector<uint8_t>& rgb) {
    const std::string ppm = dir / "as.ppm";
    return run({PICTRIX_BIN, file, ppm}).status == 0 && parsePpm(readFile(ppm), w, h, rgb);
}

std::vector<uint8_t> jxlHeader(uint32_t w, uint32_t h, uint32_t extraChannels) {
    std::vector<uint8_t> b = {0xff, 0x0a};
    size_t bit = 16;
    // Fields are packed least significant bit first.
    auto put = [&](uint32_t v, int n) {
        for (int i = 0; i < n; ++i, ++bit) {
            if (bit / 8 >= b.size()) b.push_back(0);
            b[bit / 8] |= uint8_t((v >> i & 1) << (bit % 8));
        }
    };
    // A side: selector and bits of U32(1 + u(9), 1 + u(13), 1 + u(18), 1 + u(30)).
    auto side = [&](uint32_t v) {
        const int bits[] = {9, 13, 18, 30};
        int k = 0;
        while (k < 3 && v - 1 >= (1u << bits[k])) ++k;
        put(uint32_t(k), 2), put(v - 1, bits[k]);
    };
    put(0, 1), side(h), put(0, 3), side(w);  // SizeHeader: not small, explicit width
    if (extraChannels == 0) {
        put(1, 1);  // ImageMetadata: all default
    } else {
        put(0, 1), put(0, 1), put(0, 1), put(0, 2), put(1, 1);  // 8-bit integer samples, no extra fields
        put(3, 2), put(extraChannels - 1, 12);
        for (uint32_t i = 0; i < extraChannels; ++i) put(1, 1);  // default alpha channels
        put(1, 1), put(1, 1), put(0, 2);                         // XYB, default colour, no extensions
    }
    b.resize(b.size() + 16, 0);
    return b;
}

std::vector<uint8_t> readFile(const std::string& path) {
    std::vector<uint8_t> v;
    FILE* f = fopen(path.c_str(), "rb");
    if (!f) return v;
    uint8_t buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0) v.insert(v.end(), buf, buf + n);
    fclose(f);
    return v;
}

void writeFile(const std::string& path, const std::vector<uint8_t>& bytes) {
    FILE* f = fopen(path.c_str(), "wb");
    if (!f) return;
    if (!bytes.empty()) fwrite(bytes.data(), 1, bytes.size(), f);
    fclose(f);
}

void writeFile(const std::string& path, const std::string& bytes) {
    writeFile(path, std::vector<uint8_t>(bytes.begin(), bytes.end()));
}

bool fileExists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::vector<std::string> listDir(const std::string& dir) {
    std::vector<std::string> names;
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") names.push_back(n);
        }
        closedir(d);
    }
    return names;
}

static void removeTree(const std::string& path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) return;
    if (S_ISDIR(st.st_mode)) {
        chmod(path.c_str(), 0700);
        for (const auto& n : listDir(path)) removeTree(path + "/" + n);
        rmdir(path.c_str());
    } else {
        unlink(path.c_str());
    }
}

TempDir::TempDir() {
    const char* base = getenv("TMPDIR");
    std::string tmpl = std::string(base && *base ? base : "/tmp") + "/pictrix-test-XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data())) path_ = buf.data();
}

TempDir::~TempDir() {
    if (!path_.empty()) removeTree(path_);
}

static constexpr int kRunTimeoutMs = 120000;

RunResult run(const std::vector<std::string>& argv, void (*setup)()) {
    RunResult r;
    int outp[2], errp[2];
    if (pipe(outp) != 0 || pipe(errp) != 0) return r;
    auto start = std::chrono::steady_clock::now();
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        close(outp[0]), close(errp[0]), close(outp[1]), close(errp[1]);
        if (setup) setup();
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        execv(args[0], args.data());
        _exit(127);
    }
    close(outp[1]), close(errp[1]);
    pollfd fds[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    std::string* sinks[2] = {&r.out, &r.err};
    int open = 2;
    // A child that hangs (a window nobody closes, a spinning codec) is
    // killed, so that the test fails instead of waiting for ever.
    bool killed = false;
    while (open > 0) {
        int left = int(kRunTimeoutMs - std::chrono::duration<double, std::milli>(
                                           std::chrono::steady_clock::now() - start).count());
        if (left <= 0 && !killed) {
            kill(pid, SIGKILL);
            killed = true;
        }
        if (poll(fds, 2, killed ? -1 : left) < 0 && errno != EINTR) break;
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || !(fds[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t n = read(fds[i].fd, buf, sizeof buf);
            if (n > 0) {
                sinks[i]->append(buf, size_t(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int st = 0;
    struct rusage usage {};
    while (wait4(pid, &st, 0, &usage) < 0 && errno == EINTR) {
    }
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    r.maxRssKiB = usage.ru_maxrss;
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

QuietStderr::QuietStderr() : saved_(dup(2)) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 2);
    close(null);
}

QuietStderr::~QuietStderr() {
    dup2(saved_, 2);
    close(saved_);
}

std::string dataPath(const std::string& name) { return std::string(TEST_DATA_DIR) + "/" + name; }

}  // namespace testutil
