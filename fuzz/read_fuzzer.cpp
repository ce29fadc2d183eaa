// Feeds arbitrary bytes to one reader of the image-file library, along the
// path the program takes: open, dimensions, one tile with the program's
// layout. FUZZ_FORMAT names the reader; the format is forced, so the bytes
// need not pass its sniff.
#include <ifl0.h>

#include "codec.h"

#include <cstdint>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // Pictures of up to 4 Mpixels: larger headers are refused as too large,
    // which keeps each run fast and the whole picture decodable into one
    // tile, the way the program loads it.
    ifl0::maxPixels = int64_t(1) << 22;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    iflStatus status;
    iflFile* file = iflFile::openMemory(data, size, "fuzz", iflFormat::find(FUZZ_FORMAT), &status);
    if (!file) return 0;
    iflSize s;
    file->getDimensions(s);
    std::vector<uint8_t> tile(size_t(s.x) * size_t(s.y) * 4);
    static const int kChannels[4] = {0, 1, 2, 0};
    iflConfig layout(iflUInt8, iflInterleaved, 4, kChannels, 0, iflUpperLeft);
    file->getTile(0, 0, 0, s.x, s.y, 1, tile.data(), &layout);
    file->close();
    return 0;
}
