// The library's core: file access, the format table, limits, the mapping of
// tiles between caller and codec, the one line on standard error that every
// failure prints, and the boundary that keeps every exception inside the
// library. Format modules are called from here only.
#include "codec.h"
#include "output.h"
#include "rowmap.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <exception>
#include <mutex>
#include <fcntl.h>
#include <new>
#include <string>
#include <strings.h>
#include <system_error>
#include <sys/mman.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace ifl0;

int64_t ifl0::maxPixels = kMaxBlockBytes / 4;

namespace {

// Prints "ifl0: NAME: REASON" on one line, keeping errno for the caller.
// Allocates nothing, so that it can report running out of memory.
void report(const char* name, const char* reason) {
    int saved = errno;
    char why[301];
    size_t n = strnlen(reason, sizeof why - 1);
    memcpy(why, reason, n);
    why[n] = '\0';
    for (size_t i = 0; i < n; ++i)
        if (why[i] == '\n' || why[i] == '\r') why[i] = ' ';
    fprintf(stderr, "ifl0: %s: %s\n", name, why);
    errno = saved;
}

void report(const std::string& name, const std::string& reason) { report(name.c_str(), reason.c_str()); }

iflStatus fail(iflStatus* status, iflStatus code) {
    if (status) *status = code;
    return code;
}

// The status and reason of the exception being handled. Every call into a
// module, and every public entry, ends its exceptions here.
iflStatus caught(const char*& reason) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        reason = "out of memory";
        return iflErrNoMemory;
    } catch (const std::system_error&) {
        reason = "cannot start a thread";
        return iflErrNoMemory;
    } catch (...) {
        reason = "unexpected internal failure";
        return iflErrUnsupported;
    }
}

// Runs a call into a format module: an exception becomes its status and
// reason, like any failure the module reports itself.
template <typename Call>
iflStatus callModule(std::string& err, Call&& call) noexcept {
    try {
        return call();
    } catch (...) {
        const char* reason = "";
        iflStatus st = caught(reason);
        try {
            err = reason;
        } catch (...) {
            err.clear();
        }
        return st;
    }
}

// The one size check: sides 1 to 32767 and an RGBA block of at most
// 2147483647 bytes, with its one message.
bool withinLimits(int64_t width, int64_t height) {
    return width > 0 && height > 0 && width <= kMaxSide && height <= kMaxSide &&
           width * height * 4 <= kMaxBlockBytes && width * height <= maxPixels;
}

iflStatus checkLimits(int64_t width, int64_t height, std::string& err) {
    if (withinLimits(width, height)) return iflSuccess;
    err = "picture of " + std::to_string(width) + " by " + std::to_string(height) +
          " is beyond the size limits (sides 1 to 32767, at most 2 GiB of RGBA)";
    return iflErrTooLarge;
}

// The most bytes an input read from a stream may have: a picture at the
// limits stored uncompressed with 16-bit RGBA samples, plus room for
// headers and metadata.
size_t inputCap() { return size_t(maxPixels) * 8 + (size_t(64) << 20); }

std::string lowerEnding(const char* name) {
    const char* slash = strrchr(name, '/');
    const char* base = slash ? slash + 1 : name;
    const char* dot = strrchr(base, '.');
    std::string e = dot ? dot + 1 : "";
    for (char& ch : e) ch = char(tolower(static_cast<unsigned char>(ch)));
    return e;
}

std::string knownEndings() {
    std::string s;
    for (size_t i = 0; i < kCodecCount; ++i) {
        if (!kCodecs[i]->write) continue;
        for (const char* const* e = kCodecs[i]->endings; *e; ++e) s += std::string(s.empty() ? "." : " .") + *e;
    }
    return s;
}

// The library's format objects, one per table entry.
struct Format final : iflFormat {
    const Codec* codec = nullptr;
};

Format* formatTable() {
    static Format table[kCodecCount];
    static const bool filled = [] {
        for (size_t i = 0; i < kCodecCount; ++i) table[i].codec = kCodecs[i];
        return true;
    }();
    (void)filled;
    return table;
}

const Codec& codecOf(const iflFormat* f) { return *static_cast<const Format*>(f)->codec; }

iflFormat* formatOf(const Codec* c) {
    for (size_t i = 0; i < kCodecCount; ++i)
        if (kCodecs[i] == c) return &formatTable()[i];
    return nullptr;
}

const Codec* sniffFormat(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < kCodecCount; ++i)
        if (kCodecs[i]->sniff && kCodecs[i]->sniff(p, n)) return kCodecs[i];
    return nullptr;
}

bool transposes(iflOrientation o) { return o >= iflLeftUpper && o <= iflLeftLower; }

iflOrientation normalOrientation(iflOrientation o) {
    return (o >= iflUpperLeft && o <= iflLeftLower) ? o : iflUpperLeft;
}

// An open file's state behind the public class.
struct File final : iflFile {
    std::string name;
    const Codec* codec = nullptr;

    // Reading.
    Bytes bytes;
    void* mapped = nullptr;
    size_t mappedLen = 0;
    std::vector<uint8_t> owned;
    std::unique_ptr<Reader> reader;
    std::unique_ptr<ColourStep> colour;  // null for sRGB and untagged files
    Samples samples = Samples::rgb;

    // Writing.
    bool writing = false;
    bool written = false;
    Output output;
    WriteOptions options;

    ~File() {
        reader.reset();
        if (mapped) munmap(mapped, mappedLen);
    }

    iflStatus load(int fd, const iflFormat* format, std::string& err);
    iflStatus recognise(const iflFormat* format, std::string& err);
    iflStatus getTile(int x, int y, int z, int nx, int ny, int nz, void* data, const iflConfig* layout);
    iflStatus setTile(int x, int y, int z, int nx, int ny, int nz, const void* data, const iflConfig* layout);

    void setFormat(const Codec* c, const iflSize& s, iflOrientation o) {
        codec = c;
        size_ = s;
        orientation_ = o;
        format_ = formatOf(c);
    }
};

File& state(iflFile* f) { return *static_cast<File*>(f); }

std::string label(int fd, const char* name) {
    return name ? name : (fd >= 0 ? "descriptor " + std::to_string(fd) : "(null)");
}

// Reads all of fd: mapped when it is a regular file, read otherwise. A
// stream's first bytes must look like a known format (unless the format is
// given) before the rest is read, and it is read only up to inputCap.
iflStatus File::load(int fd, const iflFormat* format, std::string& err) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        err = strerror(errno);
        return iflErrIO;
    }
    if (S_ISDIR(st.st_mode)) {
        err = strerror(EISDIR);
        return iflErrIO;
    }
    if (S_ISREG(st.st_mode) && st.st_size > 0) {
        void* p = mmap(nullptr, size_t(st.st_size), PROT_READ, MAP_PRIVATE, fd, 0);
        if (p != MAP_FAILED) {
            mapped = p;
            mappedLen = size_t(st.st_size);
            bytes = {static_cast<const uint8_t*>(p), mappedLen};
            return iflSuccess;
        }
    }
    constexpr size_t kFirstBytes = 4096;
    const size_t cap = inputCap();
    size_t used = 0;
    bool sniffed = format != nullptr;
    for (;;) {
        if (!sniffed && used >= kFirstBytes) {
            if (!sniffFormat(owned.data(), used)) break;  // refused by recognise, unread
            sniffed = true;
        }
        if (used == cap) {
            err = "more than " + std::to_string(cap >> 20) +
                  " MiB of input, beyond any picture within the size limits";
            return iflErrTooLarge;
        }
        if (owned.size() == used) owned.resize(std::min(cap, std::max(used * 2, size_t(65536))));
        size_t want = owned.size() - used;
        if (!sniffed) want = std::min(want, kFirstBytes - used);
        ssize_t n = read(fd, owned.data() + used, want);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = strerror(errno);
            return iflErrIO;
        }
        if (n == 0) break;
        used += size_t(n);
    }
    owned.resize(used);
    owned.shrink_to_fit();
    bytes = {owned.data(), owned.size()};
    return iflSuccess;
}

// Recognises the format, reads the header and checks the limits.
iflStatus File::recognise(const iflFormat* format, std::string& err) {
    const Codec* c = format ? &codecOf(format) : sniffFormat(bytes.data, bytes.size);
    if (!c) {
        err = bytes.size ? "not an image file of a known format" : "empty file";
        return iflErrUnknownFormat;
    }
    iflStatus st = iflSuccess;
    if (!c->open) err = std::string(c->name) + " files cannot be read", st = iflErrUnknownFormat;
    Info info;
    if (st == iflSuccess) st = callModule(err, [&] { return c->open(bytes, info, reader, err); });
    if (st == iflSuccess && !reader) st = iflErrUnsupported, err = "no reader";
    // A module that stopped at the size, or read the whole header, has
    // reported it; the picture is checked here, before anything scales with it.
    if (st == iflSuccess || st == iflErrTooLarge) {
        iflStatus limits = checkLimits(info.width, info.height, err);
        if (limits != iflSuccess || st != iflSuccess) {
            reader.reset();
            err = std::string(c->name) + ": " + err;
            return iflErrTooLarge;
        }
    }
    if (st != iflSuccess) {
        err = std::string(c->name) + ": " + err;
        return st;
    }
    setFormat(c, iflSize(int(info.width), int(info.height), info.channels == 4 ? 4 : 3),
              normalOrientation(info.orientation));
    samples = info.samples;
    if (!info.icc.empty()) {
        std::string why;
        colour = ColourStep::make(info.icc, info.samples, why);
        if (!why.empty()) report(name, std::string(c->name) + ": colour profile ignored: " + why);
    }
    return iflSuccess;
}

// Decoded rows go straight into the caller's tile when a stored row is one
// whole tile row of 4-byte pixels; otherwise through one scratch row. Each
// row is converted to sRGB (when the file has a profile) before its channels
// are mapped: as it is done, or, for a large picture in the caller's block,
// by a second thread that follows the decoder down the rows the module has
// finished in order; what is left is done at the end on two threads.
class TileSink final : public RowSink {
public:
    TileSink(const RowMap& map, const ReadPick& pick, int storedW, int storedH, uint8_t* tile, int nx, int ny,
             const ColourStep* colour, bool cmykSamples)
        : map_(map), pick_(pick), w_(storedW), h_(storedH), tile_(tile), nx_(nx), ny_(ny), colour_(colour) {
        direct_ = map.rowIsContiguous() && map.u0 == 0 && nx == storedW && pick.nchans == 4;
        if (direct_ && inside(0) && inside(storedH - 1))
            block = {tile_ + ptrdiff_t(map_.v0) * nx_ * 4, ptrdiff_t(map_.vr) * nx_ * 4};
        else
            scratch_.resize(size_t(storedW) * 4);
        cmyk = colour && cmykSamples;
        deferred_ = colour && block && int64_t(storedW) * storedH >= kMinParallelPixels;
        if (deferred_) {
            try {
                follower_ = std::thread([this] { follow(); });
            } catch (const std::system_error&) {
            }
        }
    }
    ~TileSink() { stopFollowing(); }
    TileSink(const TileSink&) = delete;
    TileSink& operator=(const TileSink&) = delete;

    uint8_t* row(int r) override {
        return direct_ && inside(r) ? tile_ + size_t(map_.vr * r + map_.v0) * size_t(nx_) * 4 : scratch_.data();
    }
    void done(int r) override {
        if (deferred_) {
            // Rows done in order extend what the follower may convert.
            int expected = r;
            if (ordered_.compare_exchange_strong(expected, r + 1) && (r + 1) % 64 == 0) wake_.notify_one();
            return;
        }
        if (colour_) colour_->apply(row(r), size_t(w_));
        if (!direct_)
            readRow(map_, pick_, r, scratch_.data(), w_, tile_, nx_, ny_);
        else if (inside(r))
            remapInPlace(pick_, row(r), w_);
    }
    // After a successful decode: the rows the follower has not converted.
    void finish() {
        if (!deferred_) return;
        stopFollowing();
        const int from = converted_, mid = from + (h_ - from) / 2;
        inParallel([&] { convert(from, mid); }, [&] { convert(mid, h_); });
    }

private:
    bool inside(int r) const {
        int v = map_.vr * r + map_.v0;
        return v >= 0 && v < ny_;
    }
    void convert(int r0, int r1) const {
        for (int r = r0; r < r1; ++r) {
            colour_->apply(block.row(r), size_t(w_));
            remapInPlace(pick_, block.row(r), w_);
        }
    }
    // The follower's loop: converts the rows done in order as they come,
    // until told to stop.
    void follow() {
        for (;;) {
            const int ready = ordered_.load();
            if (ready > converted_) {
                convert(converted_, ready);
                converted_ = ready;
                continue;
            }
            std::unique_lock<std::mutex> lock(mutex_);
            if (stop_) return;
            wake_.wait_for(lock, std::chrono::milliseconds(1));
        }
    }
    void stopFollowing() {
        if (!follower_.joinable()) return;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_one();
        follower_.join();
    }

    const RowMap& map_;
    const ReadPick& pick_;
    int w_, h_;
    uint8_t* tile_;
    int nx_, ny_;
    const ColourStep* colour_;
    bool direct_ = false, deferred_ = false;
    std::vector<uint8_t> scratch_;
    // The follower: rows [0, ordered_) are done, [0, converted_) converted.
    std::atomic<int> ordered_{0};
    int converted_ = 0;  // the follower's until it is joined
    std::thread follower_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
};

// Reads the caller's whole picture in the order the file stores it.
class TileSource final : public PixelSource {
public:
    TileSource(const RowMap& map, const WritePick& pick, const uint8_t* tile, int nchans, int nx, int w, int h)
        : map_(map), pick_(pick), tile_(tile), nchans_(nchans), nx_(nx) {
        width = w, height = h, channels = pick.channels;
        if (map.rowIsContiguous() && nchans == 4 && pick.isPrefix())
            rgbx = {tile_ + ptrdiff_t(map_.v0) * nx_ * 4, ptrdiff_t(map_.vr) * nx_ * 4};
        scratch_.resize(size_t(w) * size_t(channels));
    }
    const uint8_t* row(int r) override {
        writeRow(map_, pick_, r, tile_, nchans_, nx_, width, scratch_.data());
        return scratch_.data();
    }

private:
    const RowMap& map_;
    const WritePick& pick_;
    const uint8_t* tile_;
    int nchans_, nx_;
    std::vector<uint8_t> scratch_;
};

bool layoutUsable(const iflConfig& l) {
    return (l.dtype == iflUInt8 || l.dtype == iflDataTypeDefault) &&
           (l.order == iflInterleaved || l.order == iflOrderDefault);
}

// A caller's layout for one transfer (8-bit interleaved with the file's
// channels when none is given), its orientation, and the picture's size as
// that orientation sees it.
struct TileLayout {
    iflConfig layout;
    iflOrientation orientation;
    iflSize seen;

    TileLayout(const iflConfig* l, const iflSize& size, iflOrientation fileOrientation)
        : layout(l ? *l : iflConfig(iflUInt8, iflInterleaved)), orientation(normalOrientation(layout.orientation)),
          seen(size) {
        if (layout.nchans == 0) layout.nchans = size.c;
        iflMapSize(fileOrientation, seen, orientation);
    }
};

iflStatus File::getTile(int x, int y, int z, int nx, int ny, int nz, void* data, const iflConfig* layout) {
    if (!reader) {
        report(name, "not open for reading");
        return iflErrBadParams;
    }
    const TileLayout t(layout, size_, orientation_);
    const iflConfig& l = t.layout;
    const iflSize& seen = t.seen;
    ReadPick pick;
    if (!data || !layoutUsable(l) || !makeReadPick(l.nchans, l.channels, l.choff, size_.c, pick)) {
        report(name, "unsupported buffer layout");
        return iflErrBadParams;
    }
    if (z != 0 || nz != 1 || x < 0 || y < 0 || nx <= 0 || ny <= 0 || nx > seen.x - x || ny > seen.y - y) {
        report(name, "tile out of bounds");
        return iflErrBadParams;
    }
    RowMap map = RowMap::make(orientation_, size_.x, size_.y, t.orientation, x, y);
    TileSink sink(map, pick, size_.x, size_.y, static_cast<uint8_t*>(data), nx, ny, colour.get(),
                  samples == Samples::cmyk);
    std::string err;
    iflStatus st = callModule(err, [&] {
        iflStatus decoded = reader->decode(sink, err);
        if (decoded == iflSuccess) sink.finish();
        return decoded;
    });
    if (st != iflSuccess) report(name, std::string(codec->name) + ": " + err);
    return st;
}

iflStatus File::setTile(int x, int y, int z, int nx, int ny, int nz, const void* data, const iflConfig* layout) {
    if (!writing || written) {
        report(name, writing ? "the picture was already written" : "not open for writing");
        return iflErrBadParams;
    }
    const TileLayout t(layout, size_, iflUpperLeft);
    const iflConfig& l = t.layout;
    const iflSize& seen = t.seen;
    WritePick pick;
    if (!data || !layoutUsable(l) || !makeWritePick(l.nchans, l.channels, l.choff, size_.c, pick)) {
        report(name, "unsupported buffer layout");
        return iflErrBadParams;
    }
    if (x != 0 || y != 0 || z != 0 || nz != 1 || nx != seen.x || ny != seen.y) {
        report(name, "the tile must be the whole picture");
        return iflErrBadParams;
    }
    written = true;
    RowMap map = RowMap::make(iflUpperLeft, size_.x, size_.y, t.orientation, 0, 0);
    std::string err;
    iflStatus st = callModule(err, [&] {
        TileSource src(map, pick, static_cast<const uint8_t*>(data), l.nchans, nx, size_.x, size_.y);
        return codec->write(output.stream(), src, options, err);
    });
    int e = 0;
    if (st == iflSuccess && !output.commit(err)) e = errno, st = iflErrIO;
    if (st != iflSuccess) {
        output.discard();
        report(name, std::string(codec->name) + ": " + err);
        if (e) errno = e;
    }
    return st;
}

// Ends an exception that a public entry's own work raised (the library
// running out of memory outside any module) with its one line.
iflStatus reportCaught(int fd, const char* name) noexcept {
    const char* reason = "";
    iflStatus st = caught(reason);
    report(name ? name : fd >= 0 ? "descriptor" : "(null)", reason);
    return st;
}

iflFile* openFile(std::unique_ptr<File> file, int fd, const iflFormat* format, iflStatus* status) {
    std::string err;
    iflStatus st = fd >= 0 ? file->load(fd, format, err) : iflSuccess;
    if (st == iflSuccess || st == iflErrUnknownFormat) st = file->recognise(format, err);
    if (st != iflSuccess) {
        report(file->name, err);
        fail(status, st);
        return nullptr;
    }
    fail(status, iflSuccess);
    return file.release();
}

}  // namespace

void iflMapSize(iflOrientation from, iflSize& size, iflOrientation to) {
    if (transposes(from) != transposes(to)) std::swap(size.x, size.y);
}

bool Info::setSize(int64_t storedWidth, int64_t storedHeight) {
    width = storedWidth;
    height = storedHeight;
    return withinLimits(storedWidth, storedHeight);
}

#ifndef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
namespace {
std::mutex silenceMutex;
int silenced = 0;      // living SilencedStderr objects
int savedStderr = -1;  // the real standard error while silenced
}  // namespace
#endif

// Fuzzing builds keep standard error: a crash report must not vanish.
#ifdef FUZZING_BUILD_MODE_UNSAFE_FOR_PRODUCTION
SilencedStderr::SilencedStderr() {}
SilencedStderr::~SilencedStderr() {}
#else
SilencedStderr::SilencedStderr() {
    std::lock_guard<std::mutex> lock(silenceMutex);
    if (silenced++ > 0) return;
    fflush(stderr);
    int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    savedStderr = null >= 0 ? fcntl(STDERR_FILENO, F_DUPFD_CLOEXEC, 0) : -1;
    if (savedStderr >= 0) dup2(null, STDERR_FILENO);
    if (null >= 0) ::close(null);
}

SilencedStderr::~SilencedStderr() {
    std::lock_guard<std::mutex> lock(silenceMutex);
    if (--silenced > 0 || savedStderr < 0) return;
    fflush(stderr);
    dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    savedStderr = -1;
}
#endif

int ifl0::threadCount() {
    const unsigned n = std::thread::hardware_concurrency();
    return n == 0 ? 1 : n > 16 ? 16 : int(n);
}

void ifl0::inParallel(const std::function<void()>& first, const std::function<void()>& second) {
    std::exception_ptr failed;
    std::thread worker;
    try {
        worker = std::thread([&] {
            try {
                second();
            } catch (...) {
                failed = std::current_exception();
            }
        });
    } catch (const std::system_error&) {
        first();
        second();
        return;
    }
    try {
        first();
    } catch (...) {
        worker.join();
        throw;
    }
    worker.join();
    if (failed) std::rethrow_exception(failed);
}

iflStatus ifl0::writeAll(FILE* out, const void* p, size_t n, std::string& err) {
    if (n && fwrite(p, 1, n, out) != n) {
        err = std::string("write failed: ") + strerror(errno);
        return iflErrIO;
    }
    return iflSuccess;
}

void* ifl0::openLibrary(const char* label, const char* const* names, std::string& err) {
    for (const char* const* n = names; *n; ++n)
        if (void* library = dlopen(*n, RTLD_NOW | RTLD_LOCAL)) return library;
    const char* why = dlerror();
    err = std::string("cannot load ") + label + ": " + (why ? why : "not found");
    return nullptr;
}

void* ifl0::librarySymbol(void* library, const char* label, const char* symbol, std::string& err) {
    void* p = dlsym(library, symbol);
    if (!p) err = std::string("cannot load ") + label + ": " + symbol + " is missing";
    return p;
}

uint8_t* ifl0::allocateBlock(size_t bytes) {
    constexpr size_t kHugePage = size_t(2) << 20;
    if (bytes < kHugePage) return static_cast<uint8_t*>(malloc(bytes ? bytes : 1));
    const size_t rounded = (bytes + kHugePage - 1) & ~(kHugePage - 1);
    void* p = aligned_alloc(kHugePage, rounded);
    if (p) madvise(p, rounded, MADV_HUGEPAGE);
    return static_cast<uint8_t*>(p);
}

iflFormat* iflFormat::find(const char* name) {
    for (size_t i = 0; i < kCodecCount; ++i)
        if (name && strcasecmp(kCodecs[i]->name, name) == 0) return formatOf(kCodecs[i]);
    return nullptr;
}

iflFormat* iflFormat::forName(const char* fileName) {
    if (!fileName) return nullptr;
    try {
        std::string e = lowerEnding(fileName);
        for (size_t i = 0; i < kCodecCount; ++i)
            for (const char* const* p = kCodecs[i]->endings; *p; ++p)
                if (e == *p) return formatOf(kCodecs[i]);
    } catch (...) {
    }
    return nullptr;
}

const char* iflFormat::name() const { return codecOf(this).name; }
bool iflFormat::canWrite() const { return codecOf(this).write != nullptr; }

iflFile* iflFile::open(int fd, const char* name, int mode, iflFormat* format, iflStatus* status) {
    try {
        std::string lbl = label(fd, name);
        if (mode != 0 || (fd < 0 && !name)) {
            report(lbl, mode != 0 ? "only reading (mode 0) is supported by open; use create" : "no file name");
            errno = EINVAL;
            fail(status, iflErrBadParams);
            return nullptr;
        }
        int own = -1;
        if (fd < 0) {
            own = ::open(name, O_RDONLY | O_CLOEXEC);
            if (own < 0) {
                report(lbl, strerror(errno));
                fail(status, iflErrNotFound);
                return nullptr;
            }
        }
        struct Closer {
            int fd;
            ~Closer() {
                if (fd >= 0) ::close(fd);
            }
        } closer{own};
        std::unique_ptr<File> file(new File);
        file->name = lbl;
        return openFile(std::move(file), own >= 0 ? own : fd, format, status);
    } catch (...) {
        fail(status, reportCaught(fd, name));
        return nullptr;
    }
}

iflFile* iflFile::openMemory(const void* data, size_t size, const char* name, iflFormat* format,
                             iflStatus* status) {
    try {
        std::unique_ptr<File> file(new File);
        file->name = name ? name : "(memory)";
        file->bytes = {static_cast<const uint8_t*>(data), data ? size : 0};
        return openFile(std::move(file), -1, format, status);
    } catch (...) {
        fail(status, reportCaught(-1, name ? name : "(memory)"));
        return nullptr;
    }
}

iflFile* iflFile::create(int fd, const char* name, iflFile* /*source*/, const iflFileConfig* config,
                         iflFormat* format, iflStatus* status) {
    try {
        std::string lbl = label(fd, name);
        // A name ending in a slash can only be a folder: refused as one, not
        // for the ending it lacks.
        if (fd < 0 && name && *name && name[strlen(name) - 1] == '/') {
            report(lbl, std::string("cannot create file: ") + strerror(EISDIR));
            errno = EISDIR;
            fail(status, iflErrIO);
            return nullptr;
        }
        if (!format) format = iflFormat::forName(name);
        if (!format) {
            report(lbl, "unknown file ending; known endings: " + knownEndings());
            errno = EINVAL;
            fail(status, iflErrUnknownFormat);
            return nullptr;
        }
        const Codec& codec = codecOf(format);
        std::string err;
        iflStatus st = iflSuccess;
        if (!codec.write) {
            err = std::string(codec.name) + " files cannot be written";
            st = iflErrUnsupported;
        } else if (!config || !config->size ||
                   (config->dtype != iflDataTypeDefault && config->dtype != iflUInt8) || (fd < 0 && !name)) {
            err = "unsupported file configuration";
            st = iflErrBadParams;
        } else {
            st = checkLimits(config->size->x, config->size->y, err);
        }
        if (st != iflSuccess) {
            report(lbl, err);
            errno = EINVAL;
            fail(status, st);
            return nullptr;
        }
        std::unique_ptr<File> file(new File);
        file->name = lbl;
        file->writing = true;
        file->options.compression = config->compression;
        int channels = config->size->c == 4 ? 4 : 3;
        if (channels > codec.maxChannels) channels = codec.maxChannels;
        file->setFormat(&codec, iflSize(config->size->x, config->size->y, channels), iflUpperLeft);
        if (!file->output.open(fd, file->name, err)) {
            int e = errno;
            report(lbl, err);
            errno = e;
            fail(status, iflErrIO);
            return nullptr;
        }
        fail(status, iflSuccess);
        return file.release();
    } catch (...) {
        fail(status, reportCaught(fd, name));
        errno = ENOMEM;
        return nullptr;
    }
}

iflStatus iflFile::getTile(int x, int y, int z, int nx, int ny, int nz, void* data, const iflConfig* layout) {
    try {
        return state(this).getTile(x, y, z, nx, ny, nz, data, layout);
    } catch (...) {
        return reportCaught(-1, state(this).name.c_str());
    }
}

iflStatus iflFile::setTile(int x, int y, int z, int nx, int ny, int nz, const void* data, const iflConfig* layout) {
    try {
        return state(this).setTile(x, y, z, nx, ny, nz, data, layout);
    } catch (...) {
        state(this).output.discard();
        return reportCaught(-1, state(this).name.c_str());
    }
}

iflStatus iflFile::close(int /*flags*/) {
    delete &state(this);
    return iflSuccess;
}
