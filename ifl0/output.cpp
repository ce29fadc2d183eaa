// Safe replacement of written files: a new picture goes to a temporary file
// beside the name and is renamed over it only once complete.
#include "output.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace ifl0 {

namespace {

// Removes the temporaries ".BASE.ifl0-PID-..." that a writer of the same
// name left in dir when it was killed: only those whose process is gone, so
// a conversion still running is not disturbed.
void removeStaleTemps(const std::string& dir, const std::string& base) {
    DIR* d = opendir(dir.empty() ? "." : dir.c_str());
    if (!d) return;
    const std::string prefix = "." + base + ".ifl0-";
    while (dirent* e = readdir(d)) {
        const char* n = e->d_name;
        if (strncmp(n, prefix.c_str(), prefix.size()) != 0) continue;
        const char* p = n + prefix.size();
        char* end = nullptr;
        long pid = strtol(p, &end, 10);
        if (end == p || *end != '-' || pid <= 0 || pid == getpid()) continue;
        if (kill(pid_t(pid), 0) != 0 && errno == ESRCH) unlinkat(dirfd(d), n, 0);
    }
    closedir(d);
}

// Opens a new temporary file beside name, recognisable as ours.
int makeTemp(const std::string& name, std::string& path) {
    size_t slash = name.rfind('/');
    std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    removeStaleTemps(dir, base);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = dir + "." + base + ".ifl0-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
               std::to_string(random() % 1000000);
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

}  // namespace

bool Output::open(int fd, const std::string& name, std::string& err) {
    name_ = name;
    int out = fd >= 0 ? dup(fd) : makeTemp(name, tmpPath_);
    if (out < 0 || !(out_ = fdopen(out, "wb"))) {
        int e = errno;
        if (out >= 0) ::close(out);
        discard();
        err = std::string("cannot create file: ") + strerror(e);
        errno = e;
        return false;
    }
    return true;
}

bool Output::commit(std::string& err) {
    int e = 0;
    if (fflush(out_) != 0 || ferror(out_)) e = errno ? errno : EIO;
    FILE* out = out_;
    out_ = nullptr;
    if (fclose(out) != 0 && !e) e = errno;
    if (!e && !tmpPath_.empty()) {
        // Keep the permissions of a file being replaced.
        struct stat old;
        if (stat(name_.c_str(), &old) == 0) chmod(tmpPath_.c_str(), old.st_mode & 07777);
        if (rename(tmpPath_.c_str(), name_.c_str()) != 0) {
            e = errno;
            err = std::string("cannot replace the file: ") + strerror(e);
        } else {
            tmpPath_.clear();
        }
    } else if (e) {
        err = strerror(e);
    }
    if (e) {
        discard();
        errno = e;
        return false;
    }
    return true;
}

void Output::discard() {
    if (out_) fclose(out_);
    out_ = nullptr;
    if (!tmpPath_.empty()) unlink(tmpPath_.c_str());
    tmpPath_.clear();
}

}  // namespace ifl0
