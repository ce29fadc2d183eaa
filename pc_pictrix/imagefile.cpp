#include "imagefile.h"

#include <ifl0.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>

bool FileExists(const char* path) {
    struct stat st;
    if (stat(path, &st) == 0) return true;
    if (errno != ENOENT) perror(path);
    return false;
}

// Buffer channel i exchanges with file channel kReadChannels[i]; alpha is
// read from channel 0 and then made opaque.
static int kReadChannels[4] = {0, 1, 2, 0};

namespace {

// The kernel clears every new page of a block when it is first written.
// For a large block, the pages after the first huge page are made present
// on another thread while the decoder fills the block from the top:
// clearing is faster than decoding, so the decoder keeps finding its pages
// ready and that work leaves its path. Only for files that can plausibly
// fill the block (no codec here compresses a picture 256 times), so that a
// tiny file claiming a huge picture does not make the whole block resident
// before its decoder fails. Joined before the picture is used.
class Prefault {
public:
    Prefault(const imagebuf& im, const char* path) {
        const size_t bytes = size_t(im.width) * size_t(im.height) * 4;
        constexpr size_t kMin = size_t(16) << 20;
        constexpr size_t kHugePage = size_t(2) << 20;
        struct stat st;
        if (bytes < kMin || stat(path, &st) != 0 || size_t(st.st_size) < bytes / 256) return;
        range_[0] = (reinterpret_cast<uintptr_t>(im.pixels) + kHugePage) & ~uintptr_t(kHugePage - 1);
        range_[1] = reinterpret_cast<uintptr_t>(im.pixels) + bytes;
        started_ = pthread_create(&thread_, nullptr, populate, range_) == 0;
    }
    ~Prefault() {
        if (started_) pthread_join(thread_, nullptr);
    }
    Prefault(const Prefault&) = delete;
    Prefault& operator=(const Prefault&) = delete;

private:
    static void* populate(void* arg) {
        const uintptr_t* r = static_cast<const uintptr_t*>(arg);
#ifdef MADV_POPULATE_WRITE
        madvise(reinterpret_cast<void*>(r[0]), r[1] - r[0], MADV_POPULATE_WRITE);
#else
        (void)r;
#endif
        return nullptr;
    }
    uintptr_t range_[2] = {0, 0};
    pthread_t thread_{};
    bool started_ = false;
};

}  // namespace

void LoadImage(const char* path, rgbaimage& image) {
    if (!FileExists(path)) {
        printf("Could not open image file : %s\n", path);
        fflush(stdout);
    }
    iflStatus status;
    iflFile* file = iflFile::open(-1, path, 0, nullptr, &status);
    if (status != iflSuccess) {
        image.Allocate(0, 0);
        printf("Could not open file:%s:\n", path);
        return;
    }
    iflSize size;
    file->getDimensions(size);
    image.Allocate(int16_t(size.x), int16_t(size.y));
    iflConfig layout(iflUInt8, iflInterleaved, 4, kReadChannels, 0, iflUpperLeft);
    // A block that could not be allocated is 0 by 0 and cannot hold the tile.
    if (image.width != size.x || image.height != size.y) {
        errno = ENOMEM;
        perror(path);
        status = iflErrNoMemory;
    } else {
        Prefault ahead(image, path);
        status = file->getTile(0, 0, 0, size.x, size.y, 1, image.pixels, &layout);
    }
    if (status != iflSuccess)
        image.Allocate(0, 0);
    else
        image.SetOpaque();
    file->close(0);
}

namespace {

struct WriterVariant {
    int fileChannels;
    int channels[4];
    const char* createFailure;
    bool usePerror;
};

const WriterVariant kJpg = {3, {0, 1, 2, 3}, "can't open file to write jpg!", true};
const WriterVariant kPpm = {3, {3, 1, 2, 3}, "can't open file to write jpg!", true};
const WriterVariant kJpgSwapped = {3, {3, 2, 1, 0}, "can't open file to write jpg!", true};
const WriterVariant kRgb = {4, {3, 2, 1, 0}, "can't open file to write rgb", false};
const WriterVariant kPpmSwapped = {3, {0, 2, 1, 3}, "can't open file to write ppm", false};

bool Write(const WriterVariant& v, const char* name, rgbaimage& image) {
    iflSize size(image.width, image.height, v.fileChannels);
    iflFileConfig config(&size, iflUInt8, iflOrderDefault, iflColorModelDefault, iflOrientationDefault,
                         iflCompressionDefault, nullptr);
    iflStatus status;
    iflFile* file = iflFile::create(-1, name, nullptr, &config, nullptr, &status);
    if (status != iflSuccess) {
        if (v.usePerror)
            perror(v.createFailure);
        else
            puts(v.createFailure);
        return false;
    }
    iflConfig layout(iflUInt8, iflInterleaved, 4, v.channels, 0, iflUpperLeft);
    status = file->setTile(0, 0, 0, image.width, image.height, 1, image.pixels, &layout);
    if (status != iflSuccess) puts("cant write data to file");
    file->close(0);
    return status == iflSuccess;
}

}  // namespace

bool WriteJpg(const char* name, rgbaimage& image) { return Write(kJpg, name, image); }
bool WritePpm(const char* name, rgbaimage& image) { return Write(kPpm, name, image); }
bool WriteJpgSwapped(const char* name, rgbaimage& image) { return Write(kJpgSwapped, name, image); }
bool WriteRgb(const char* name, rgbaimage& image) { return Write(kRgb, name, image); }
bool WritePpmSwapped(const char* name, rgbaimage& image) { return Write(kPpmSwapped, name, image); }

bool SaveImage(const char* name, rgbaimage& image) {
    // The last three characters; a shorter name is compared whole.
    size_t len = strlen(name);
    const char* ending = name + (len >= 3 ? len - 3 : 0);
    if (strcasecmp(ending, "jpg") == 0 || strcasecmp(ending, "tif") == 0) return WriteJpg(name, image);
    if (strcasecmp(ending, "ppm") == 0) return WritePpm(name, image);
    puts("Known file extensions jpg, ppm, tif only");
    return WriteJpg(name, image);
}
