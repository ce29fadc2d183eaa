// Feeds arbitrary bytes to one reader of the image-file library, along the
// path the program takes: open, dimensions, one tile with the program's
// layout. FUZZ_FORMAT names the reader; the format is forced, so the bytes
// need not pass its sniff.
#include <ifl0.h>

#include <cstdint>
#include <algorithm>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    iflStatus status;
    iflFile* file = iflFile::openMemory(data, size, "fuzz", iflFormat::find(FUZZ_FORMAT), &status);
    if (!file) return 0;
    iflSize s;
    file->getDimensions(s);
    // Pictures the model allows but that would only slow the fuzzer down
    // are still decoded, into the tile of their first rows.
    int rows = s.y;
    if (int64_t(s.x) * rows > (int64_t(1) << 24)) rows = int(std::max<int64_t>(1, (int64_t(1) << 24) / s.x));
    std::vector<uint8_t> tile(size_t(s.x) * size_t(rows) * 4);
    static const int kChannels[4] = {0, 1, 2, 0};
    iflConfig layout(iflUInt8, iflInterleaved, 4, kChannels, 0, iflUpperLeft);
    file->getTile(0, 0, 0, s.x, rows, 1, tile.data(), &layout);
    file->close();
    return 0;
}
