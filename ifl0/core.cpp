// The library's core: file access, the format table, limits, the mapping of
// tiles between caller and codec, safe replacement of written files, and
// the one line on standard error that every failure prints.
#include "codec.h"
#include "output.h"
#include "rowmap.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

using namespace ifl0;

int64_t ifl0::maxPixels = kMaxBlockBytes / 4;

namespace {

// Prints "ifl0: NAME: REASON" on one line, keeping errno for the caller.
void report(const std::string& name, std::string reason) {
    int saved = errno;
    for (char& ch : reason)
        if (ch == '\n' || ch == '\r') ch = ' ';
    if (reason.size() > 300) reason.resize(300);
    fprintf(stderr, "ifl0: %s: %s\n", name.c_str(), reason.c_str());
    errno = saved;
}

iflStatus fail(iflStatus* status, iflStatus code) {
    if (status) *status = code;
    return code;
}

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

iflFormat* formatOf(const Codec* c) {
    static std::vector<iflFormat> formats = [] {
        std::vector<iflFormat> v;
        for (size_t i = 0; i < kCodecCount; ++i) v.emplace_back(*kCodecs[i]);
        return v;
    }();
    for (auto& f : formats)
        if (&f.codec() == c) return &f;
    return nullptr;
}

bool transposes(iflOrientation o) { return o >= iflLeftUpper && o <= iflLeftLower; }

iflOrientation normalOrientation(iflOrientation o) {
    return (o >= iflUpperLeft && o <= iflLeftLower) ? o : iflUpperLeft;
}

}  // namespace

void iflMapSize(iflOrientation from, iflSize& size, iflOrientation to) {
    if (transposes(from) != transposes(to)) std::swap(size.x, size.y);
}

iflFormat* iflFormat::find(const char* name) {
    for (size_t i = 0; i < kCodecCount; ++i)
        if (name && strcasecmp(kCodecs[i]->name, name) == 0) return formatOf(kCodecs[i]);
    return nullptr;
}

iflFormat* iflFormat::forName(const char* fileName) {
    if (!fileName) return nullptr;
    std::string e = lowerEnding(fileName);
    for (size_t i = 0; i < kCodecCount; ++i)
        for (const char* const* p = kCodecs[i]->endings; *p; ++p)
            if (e == *p) return formatOf(kCodecs[i]);
    return nullptr;
}

const char* iflFormat::name() const { return codec_.name; }
bool iflFormat::canWrite() const { return codec_.write != nullptr; }

struct iflFile::Impl {
    std::string name;
    const Codec* codec = nullptr;

    // Reading.
    Bytes bytes;
    void* mapped = nullptr;
    size_t mappedLen = 0;
    std::vector<uint8_t> owned;
    std::unique_ptr<Reader> reader;

    // Writing.
    bool writing = false;
    bool done = false;
    Output output;
    iflSize picture;       // the upright picture's size and file channels
    WriteOptions options;

    ~Impl() {
        reader.reset();
        if (mapped) munmap(mapped, mappedLen);
    }
};

iflFile::iflFile() : impl_(new Impl) {}
iflFile::~iflFile() { delete impl_; }

const char* iflFile::getFileName() const { return impl_->name.c_str(); }

namespace {

// Reads a whole descriptor: mapped when it is a regular file, read otherwise.
iflStatus loadBytes(int fd, iflFile::Impl& f, std::string& err) {
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
            f.mapped = p;
            f.mappedLen = size_t(st.st_size);
            f.bytes = {static_cast<const uint8_t*>(p), f.mappedLen};
            return iflSuccess;
        }
    }
    uint8_t buf[65536];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            err = strerror(errno);
            return iflErrIO;
        }
        if (n == 0) break;
        f.owned.insert(f.owned.end(), buf, buf + n);
    }
    f.bytes = {f.owned.data(), f.owned.size()};
    return iflSuccess;
}

}  // namespace

// Recognises the format, reads the header and checks the limits.
iflFile* finishOpen(iflFile* file, iflFormat* format, iflStatus* status) {
    iflFile::Impl& f = *file->impl_;
    std::string err;
    const Codec* codec = nullptr;
    if (format) {
        codec = &format->codec();
        if (!codec->open) err = std::string(codec->name) + " files cannot be read";
    } else {
        for (size_t i = 0; i < kCodecCount && !codec; ++i)
            if (kCodecs[i]->sniff && kCodecs[i]->sniff(f.bytes.data, f.bytes.size)) codec = kCodecs[i];
        if (!codec) err = f.bytes.size ? "not an image file of a known format" : "empty file";
    }
    iflStatus st = codec && codec->open ? iflSuccess : iflErrUnknownFormat;
    Info info;
    if (st == iflSuccess) st = codec->open(f.bytes, info, f.reader, err);
    if (st == iflSuccess && !f.reader) st = iflErrUnsupported, err = "no reader";
    if (st == iflSuccess) {
        iflSize s(info.width, info.height, info.channels == 4 ? 4 : 3);
        iflOrientation o = normalOrientation(info.orientation);
        iflSize upright = s;
        iflMapSize(o, upright, iflUpperLeft);
        if (!withinLimits(upright.x, upright.y)) {
            st = iflErrTooLarge;
            err = "picture of " + std::to_string(info.width) + " by " + std::to_string(info.height) +
                  " is beyond the size limits (sides 1 to 32767, at most 2 GiB of RGBA)";
        } else {
            file->size_ = s;
            file->orientation_ = o;
            file->format_ = formatOf(codec);
            f.codec = codec;
        }
    }
    if (st != iflSuccess) {
        report(f.name, (codec ? std::string(codec->name) + ": " : std::string()) + err);
        file->close();
        fail(status, st);
        return nullptr;
    }
    fail(status, iflSuccess);
    return file;
}

iflFile* iflFile::open(int fd, const char* name, int mode, iflFormat* format, iflStatus* status) {
    std::string label = name ? name : (fd >= 0 ? "descriptor " + std::to_string(fd) : "(null)");
    if (mode != 0 || (fd < 0 && !name)) {
        report(label, mode != 0 ? "only reading (mode 0) is supported by open; use create" : "no file name");
        errno = EINVAL;
        fail(status, iflErrBadParams);
        return nullptr;
    }
    int own = -1;
    if (fd < 0) {
        own = ::open(name, O_RDONLY | O_CLOEXEC);
        if (own < 0) {
            report(label, strerror(errno));
            fail(status, iflErrNotFound);
            return nullptr;
        }
    }
    iflFile* file = new iflFile;
    file->impl_->name = label;
    std::string err;
    iflStatus st = loadBytes(own >= 0 ? own : fd, *file->impl_, err);
    if (own >= 0) ::close(own);
    if (st != iflSuccess) {
        report(label, err);
        file->close();
        fail(status, st);
        return nullptr;
    }
    return finishOpen(file, format, status);
}

iflFile* iflFile::openMemory(const void* data, size_t size, const char* name, iflFormat* format,
                             iflStatus* status) {
    iflFile* file = new iflFile;
    file->impl_->name = name ? name : "(memory)";
    file->impl_->bytes = {static_cast<const uint8_t*>(data), data ? size : 0};
    return finishOpen(file, format, status);
}

namespace {

// Decoded rows go straight into the caller's tile when a stored row is one
// whole tile row of 4-byte pixels; otherwise through one scratch row.
class TileSink final : public RowSink {
public:
    TileSink(const RowMap& map, const ReadPick& pick, int storedW, int storedH, uint8_t* tile, int nx, int ny)
        : map_(map), pick_(pick), w_(storedW), tile_(tile), nx_(nx), ny_(ny) {
        direct_ = map.rowIsContiguous() && map.u0 == 0 && nx == storedW && pick.nchans == 4;
        persistent_ = direct_ && inside(0) && inside(storedH - 1);
        if (!persistent_) scratch_.resize(size_t(storedW) * 4);
    }
    uint8_t* row(int r) override {
        return direct_ && inside(r) ? tile_ + size_t(map_.vr * r + map_.v0) * size_t(nx_) * 4 : scratch_.data();
    }
    void done(int r) override {
        if (!direct_)
            readRow(map_, pick_, r, scratch_.data(), w_, tile_, nx_, ny_);
        else if (inside(r))
            remapInPlace(pick_, row(r), w_);
    }
    bool persistent() const override { return persistent_; }

private:
    bool inside(int r) const {
        int v = map_.vr * r + map_.v0;
        return v >= 0 && v < ny_;
    }
    const RowMap& map_;
    const ReadPick& pick_;
    int w_;
    uint8_t* tile_;
    int nx_, ny_;
    bool direct_ = false, persistent_ = false;
    std::vector<uint8_t> scratch_;
};

bool layoutUsable(const iflConfig& l) {
    return (l.dtype == iflUInt8 || l.dtype == iflDataTypeDefault) &&
           (l.order == iflInterleaved || l.order == iflOrderDefault);
}

}  // namespace

iflStatus iflFile::getTile(int x, int y, int z, int nx, int ny, int nz, void* data, const iflConfig* layout) {
    Impl& f = *impl_;
    if (!f.reader) {
        report(f.name, "not open for reading");
        return iflErrBadParams;
    }
    iflConfig l = layout ? *layout : iflConfig(iflUInt8, iflInterleaved);
    if (l.nchans == 0) l.nchans = size_.c;
    iflOrientation bo = normalOrientation(l.orientation);
    iflSize seen = size_;
    iflMapSize(orientation_, seen, bo);
    ReadPick pick;
    if (!data || !layoutUsable(l) || !makeReadPick(l.nchans, l.channels, l.choff, size_.c, pick)) {
        report(f.name, "unsupported buffer layout");
        return iflErrBadParams;
    }
    if (z != 0 || nz != 1 || x < 0 || y < 0 || nx <= 0 || ny <= 0 || nx > seen.x - x || ny > seen.y - y) {
        report(f.name, "tile out of bounds");
        return iflErrBadParams;
    }
    RowMap map = RowMap::make(orientation_, size_.x, size_.y, bo, x, y);
    TileSink sink(map, pick, size_.x, size_.y, static_cast<uint8_t*>(data), nx, ny);
    std::string err;
    iflStatus st = f.reader->decode(sink, err);
    if (st != iflSuccess) report(f.name, std::string(f.codec->name) + ": " + err);
    return st;
}

namespace {

// Reads the caller's whole picture in the order the file stores it.
class TileSource final : public PixelSource {
public:
    TileSource(const RowMap& map, const WritePick& pick, const uint8_t* tile, int nchans, int nx, int w, int h)
        : map_(map), pick_(pick), tile_(tile), nchans_(nchans), nx_(nx) {
        width = w, height = h, channels = pick.channels;
        rgbx_ = map.rowIsContiguous() && nchans == 4 && pick.isPrefix();
        scratch_.resize(size_t(w) * size_t(channels));
    }
    const uint8_t* row(int r) override {
        writeRow(map_, pick_, r, tile_, nchans_, nx_, width, scratch_.data());
        return scratch_.data();
    }
    bool hasRgbx() const override { return rgbx_; }
    const uint8_t* rgbxRow(int r) override {
        return tile_ + size_t(map_.vr * r + map_.v0) * size_t(nx_) * 4;
    }

private:
    const RowMap& map_;
    const WritePick& pick_;
    const uint8_t* tile_;
    int nchans_, nx_;
    bool rgbx_;
    std::vector<uint8_t> scratch_;
};

}  // namespace

iflFile* iflFile::create(int fd, const char* name, iflFile* /*source*/, const iflFileConfig* config,
                         iflFormat* format, iflStatus* status) {
    std::string label = name ? name : (fd >= 0 ? "descriptor " + std::to_string(fd) : "(null)");
    // A name ending in a slash can only be a folder: refused as one, not for
    // the ending it lacks.
    if (fd < 0 && name && *name && name[strlen(name) - 1] == '/') {
        report(label, std::string("cannot create file: ") + strerror(EISDIR));
        errno = EISDIR;
        fail(status, iflErrIO);
        return nullptr;
    }
    if (!format) format = iflFormat::forName(name);
    if (!format) {
        report(label, "unknown file ending; known endings: " + knownEndings());
        errno = EINVAL;
        fail(status, iflErrUnknownFormat);
        return nullptr;
    }
    const Codec& codec = format->codec();
    std::string err;
    iflStatus st = iflSuccess;
    if (!codec.write) {
        err = std::string(codec.name) + " files cannot be written";
        st = iflErrUnsupported;
    } else if (!config || !config->size || (config->dtype != iflDataTypeDefault && config->dtype != iflUInt8) ||
               (fd < 0 && !name)) {
        err = "unsupported file configuration";
        st = iflErrBadParams;
    } else if (!withinLimits(config->size->x, config->size->y)) {
        err = "picture of " + std::to_string(config->size->x) + " by " + std::to_string(config->size->y) +
              " is beyond the size limits";
        st = iflErrTooLarge;
    }
    if (st != iflSuccess) {
        report(label, err);
        errno = EINVAL;
        fail(status, st);
        return nullptr;
    }
    iflFile* file = new iflFile;
    Impl& f = *file->impl_;
    f.name = label;
    f.codec = &codec;
    f.writing = true;
    f.options.compression = config->compression;
    int channels = config->size->c == 4 ? 4 : 3;
    if (channels > codec.maxChannels) channels = codec.maxChannels;
    file->size_ = iflSize(config->size->x, config->size->y, channels);
    file->orientation_ = iflUpperLeft;
    file->format_ = format;
    if (!f.output.open(fd, f.name, err)) {
        int e = errno;
        report(label, err);
        file->close();
        errno = e;
        fail(status, iflErrIO);
        return nullptr;
    }
    fail(status, iflSuccess);
    return file;
}

iflStatus iflFile::setTile(int x, int y, int z, int nx, int ny, int nz, const void* data, const iflConfig* layout) {
    Impl& f = *impl_;
    if (!f.writing || f.done) {
        report(f.name, f.writing ? "the picture was already written" : "not open for writing");
        return iflErrBadParams;
    }
    iflConfig l = layout ? *layout : iflConfig(iflUInt8, iflInterleaved);
    if (l.nchans == 0) l.nchans = size_.c;
    iflOrientation bo = normalOrientation(l.orientation);
    iflSize seen = size_;
    iflMapSize(iflUpperLeft, seen, bo);
    WritePick pick;
    if (!data || !layoutUsable(l) || !makeWritePick(l.nchans, l.channels, l.choff, size_.c, pick)) {
        report(f.name, "unsupported buffer layout");
        return iflErrBadParams;
    }
    if (x != 0 || y != 0 || z != 0 || nz != 1 || nx != seen.x || ny != seen.y) {
        report(f.name, "the tile must be the whole picture");
        return iflErrBadParams;
    }
    f.done = true;
    RowMap map = RowMap::make(iflUpperLeft, size_.x, size_.y, bo, 0, 0);
    TileSource src(map, pick, static_cast<const uint8_t*>(data), l.nchans, nx, size_.x, size_.y);
    std::string err;
    iflStatus st = f.codec->write(f.output.stream(), src, f.options, err);
    int e = 0;
    if (st == iflSuccess && !f.output.commit(err)) e = errno, st = iflErrIO;
    if (st != iflSuccess) {
        f.output.discard();
        report(f.name, std::string(f.codec->name) + ": " + err);
        if (e) errno = e;
    }
    return st;
}

iflStatus iflFile::close(int /*flags*/) {
    delete this;
    return iflSuccess;
}
