// Safe replacement of written files: a new picture goes to a temporary file
// beside the file the name leads to and is renamed over it only once
// complete. A file with other hard links is rewritten in place instead, and
// a FIFO or device is written, not replaced.
#include "output.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

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

// Opens a new temporary file beside name, recognisable as ours. Readable
// too, so that a file rewritten in place can be copied from it.
int makeTemp(const std::string& name, std::string& path) {
    size_t slash = name.rfind('/');
    std::string dir = slash == std::string::npos ? "" : name.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    removeStaleTemps(dir, base);
    static unsigned counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path = dir + "." + base + ".ifl0-" + std::to_string(getpid()) + "-" + std::to_string(counter++) + "-" +
               std::to_string(random() % 1000000);
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd >= 0 || errno != EEXIST) return fd;
    }
    return -1;
}

// Opens a file without a name under TMPDIR (or /tmp), gone when closed: it
// holds a picture for a destination that cannot seek until it is complete.
int anonymousTemp() {
    const char* env = getenv("TMPDIR");
    std::string dir = env && *env ? env : "/tmp";
#ifdef O_TMPFILE
    int fd = ::open(dir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
    if (fd >= 0) return fd;
#endif
    std::string path = dir + "/.ifl0-XXXXXX";
    std::vector<char> buf(path.begin(), path.end());
    buf.push_back('\0');
    int t = mkostemp(buf.data(), O_CLOEXEC);
    if (t >= 0) unlink(buf.data());
    return t;
}

// Follows symbolic links from path to the name they finally lead to, which
// need not exist (a dangling link's target is created). A relative link is
// taken from the folder that holds it. False with errno set for a loop.
bool followLinks(std::string path, std::string& target) {
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st;
        if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) {
            target = path;
            return true;
        }
        char buf[PATH_MAX + 1];
        ssize_t n = readlink(path.c_str(), buf, sizeof buf);
        if (n < 0) return false;
        if (size_t(n) >= sizeof buf || n == 0) {
            errno = n == 0 ? ENOENT : ENAMETOOLONG;
            return false;
        }
        std::string to(buf, size_t(n));
        size_t slash = path.rfind('/');
        if (to[0] != '/' && slash != std::string::npos) to = path.substr(0, slash + 1) + to;
        path = to;
    }
    errno = ELOOP;
    return false;
}

// Copies all of from, from its start, to to at its current position.
bool copyAll(int from, int to) {
    char buf[65536];
    off_t at = 0;
    for (;;) {
        ssize_t n = pread(from, buf, sizeof buf, at);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) return true;
        at += n;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = write(to, buf + done, size_t(n - done));
            if (w < 0 && errno == EINTR) continue;
            if (w < 0) return false;
            done += w;
        }
    }
}

// Gives the temporary the owner, group and mode of the file it replaces,
// where the process may; the mode last, since a change of owner clears
// set-id bits.
void keepOwnerAndMode(int tmp, const std::string& target) {
    struct stat old;
    if (stat(target.c_str(), &old) != 0 || !S_ISREG(old.st_mode)) return;
    if (fchown(tmp, old.st_uid, old.st_gid) != 0) {
        // Not permitted: the new file belongs to this process.
    }
    fchmod(tmp, old.st_mode & 07777);
}

}  // namespace

bool Output::open(int fd, const std::string& name, std::string& err) {
    bool ok;
    if (fd >= 0) {
        int own = dup(fd);
        ok = own >= 0 && useDescriptor(own);
    } else {
        ok = openNamed(name);
    }
    if (!ok) {
        int e = errno;
        discard();
        err = std::string("cannot create file: ") + strerror(e);
        errno = e;
    }
    return ok;
}

// Takes the descriptor of a destination that is not a regular file at a
// name: written directly, or, when it cannot seek (a pipe), through an
// anonymous temporary, since some encoders go back to fill in offsets.
bool Output::useDescriptor(int fd) {
    if (lseek(fd, 0, SEEK_CUR) >= 0) {
        way_ = Way::Direct;
        if ((out_ = fdopen(fd, "wb"))) return true;
        int e = errno;
        ::close(fd);
        errno = e;
        return false;
    }
    way_ = Way::Copy;
    dest_ = fd;
    int t = anonymousTemp();
    if (t >= 0 && (out_ = fdopen(t, "w+b"))) return true;
    if (t >= 0) {
        int e = errno;
        ::close(t);
        errno = e;
    }
    return false;
}

bool Output::openNamed(const std::string& name) {
    if (!followLinks(name, target_)) return false;
    if (target_.empty()) {
        errno = ENOENT;
        return false;
    }
    if (target_.back() == '/') {
        errno = EISDIR;
        return false;
    }
    // Opening an existing file for writing, without truncating it, asks the
    // system itself whether this process may write it (root may write a
    // read-only file); a folder fails here with EISDIR.
    int fd = ::open(target_.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0 && errno != ENOENT) return false;
    struct stat st;
    if (fd >= 0 && fstat(fd, &st) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return false;
    }
    if (fd >= 0 && !S_ISREG(st.st_mode)) return useDescriptor(fd);
    // A file with other names is rewritten in place once the picture is
    // complete, so that every name sees it; any other file is replaced.
    if (fd >= 0 && st.st_nlink > 1) {
        way_ = Way::InPlace;
        dest_ = fd;
    } else {
        way_ = Way::Rename;
        if (fd >= 0) ::close(fd);
    }
    int t = makeTemp(target_, tmpPath_);
    if (t < 0) {
        tmpPath_.clear();
        return false;
    }
    if ((out_ = fdopen(t, "w+b"))) return true;
    int e = errno;
    ::close(t);
    errno = e;
    return false;
}

// Copies the complete picture from the temporary into dest_. A file
// rewritten in place is overwritten from its start and cut to the new
// length, so it never stands empty; once begun this cannot be undone.
bool Output::copyOut(std::string& err) {
    int tmp = fileno(out_);
    if (way_ == Way::InPlace) {
        off_t size = lseek(tmp, 0, SEEK_END);
        if (size >= 0 && lseek(dest_, 0, SEEK_SET) == 0 && copyAll(tmp, dest_) && ftruncate(dest_, size) == 0)
            return true;
        err = "cannot rewrite the file: ";
        return false;
    }
    if (copyAll(tmp, dest_)) return true;
    err = "cannot write the file: ";
    return false;
}

bool Output::commit(std::string& err) {
    int e = 0;
    err.clear();
    if (fflush(out_) != 0 || ferror(out_)) e = errno ? errno : EIO;
    if (!e && way_ == Way::Rename) keepOwnerAndMode(fileno(out_), target_);
    if (!e && (way_ == Way::InPlace || way_ == Way::Copy) && !copyOut(err)) e = errno ? errno : EIO;
    FILE* out = out_;
    out_ = nullptr;
    if (fclose(out) != 0 && !e) e = errno;
    if (dest_ >= 0 && ::close(dest_) != 0 && !e) e = errno;
    dest_ = -1;
    if (!e && way_ == Way::Rename) {
        if (rename(tmpPath_.c_str(), target_.c_str()) == 0)
            tmpPath_.clear();
        else
            e = errno, err = "cannot replace the file: ";
    }
    if (e) err += strerror(e);
    discard();  // the temporary of a failure, or of a file rewritten in place
    if (e) errno = e;
    return !e;
}

void Output::discard() {
    if (out_) fclose(out_);
    out_ = nullptr;
    if (dest_ >= 0) ::close(dest_);
    dest_ = -1;
    if (!tmpPath_.empty()) unlink(tmpPath_.c_str());
    tmpPath_.clear();
}

}  // namespace ifl0
