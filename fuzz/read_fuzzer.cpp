// Feeds arbitrary bytes to one reader of the image-file library. The
// environment variable FUZZ_FORMAT names the reader (as fuzz_formats lists
// them); the format is forced, so the bytes need not pass its sniff.
// Every input is read along the path the program takes (open, dimensions,
// the whole picture with the program's layout); the last four bytes also
// choose a second transfer with another channel list, orientation and tile.
#include <ifl0.h>

#include "codec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

iflFormat* format = nullptr;

// A layout and tile drawn from selector bits.
struct Pick {
    uint32_t bits;
    unsigned take(unsigned n) {
        unsigned v = bits % n;
        bits /= n;
        return v;
    }
};

void readAnotherWay(iflFile* file, uint32_t selector) {
    Pick p{selector};
    const iflOrientation o = iflOrientation(p.take(8) + 1);
    const int nchans = int(p.take(5)) + 1;
    int list[5];
    for (int& c : list) c = int(p.take(6)) - 1;  // -1 and 4 name channels no file has
    const bool useList = p.take(2);
    const int choff = int(p.take(3));
    iflSize s = file->getSize();
    iflMapSize(file->getOrientation(), s, o);
    const int x = int(p.take(4)) * s.x / 8, y = int(p.take(4)) * s.y / 8;
    const int nx = s.x - x - int(p.take(2)) * (s.x - x) / 2, ny = s.y - y - int(p.take(2)) * (s.y - y) / 2;
    std::vector<uint8_t> tile(size_t(nx) * size_t(ny) * size_t(nchans));
    iflConfig layout(iflUInt8, iflInterleaved, nchans, useList ? list : nullptr, choff, o);
    file->getTile(x, y, 0, nx, ny, 1, tile.data(), &layout);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Pictures of up to 4 Mpixels: larger headers are refused as too large,
    // which keeps each run fast and the whole picture decodable into one
    // tile, the way the program loads it.
    ifl0::maxPixels = int64_t(1) << 22;
    const char* name = getenv("FUZZ_FORMAT");
    format = name ? iflFormat::find(name) : nullptr;
    if (!format) {
        fprintf(stderr, "FUZZ_FORMAT must name a format the library reads\n");
        exit(2);
    }
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    iflStatus status;
    iflFile* file = iflFile::openMemory(data, size, "fuzz", format, &status);
    if (!file) return 0;
    iflSize s;
    file->getDimensions(s);
    std::vector<uint8_t> tile(size_t(s.x) * size_t(s.y) * 4);
    static const int kChannels[4] = {0, 1, 2, 0};
    iflConfig layout(iflUInt8, iflInterleaved, 4, kChannels, 0, iflUpperLeft);
    status = file->getTile(0, 0, 0, s.x, s.y, 1, tile.data(), &layout);
    // A second decode only for pictures that read and are small enough to
    // keep the run fast.
    if (status == iflSuccess && size >= 4 && int64_t(s.x) * s.y <= (int64_t(1) << 18)) {
        const uint8_t* t = data + size - 4;
        readAnotherWay(file, uint32_t(t[0]) | uint32_t(t[1]) << 8 | uint32_t(t[2]) << 16 | uint32_t(t[3]) << 24);
    }
    file->close();
    return 0;
}
