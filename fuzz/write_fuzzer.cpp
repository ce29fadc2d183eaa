// Writes a small picture built from the input to a writable format of the
// table, under one of the compressions, and reads it back through the
// library. Where the format says the result is lossless it must return every
// stored channel exactly; otherwise it must at least read back at the same
// size. Any mismatch aborts, which libFuzzer reports as a crash.
#include <ifl0.h>

#include "codec.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

// The table's writable formats.
std::vector<const ifl0::Codec*> writers;

std::string folder;

struct Target {
    const ifl0::Codec* codec;
    iflCompression compression;
};

void check(bool ok, const char* what, const Target& t) {
    if (ok) return;
    fprintf(stderr, "write fuzzer: %s %d: %s\n", t.codec->name, int(t.compression), what);
    abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    char tmpl[] = "/tmp/pictrix-writefuzz-XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    folder = tmpl;
    for (size_t i = 0; i < ifl0::kCodecCount; ++i)
        if (ifl0::kCodecs[i]->write) writers.push_back(ifl0::kCodecs[i]);
    atexit([] {
        for (const ifl0::Codec* c : writers) unlink((folder + "/picture." + c->endings[0]).c_str());
        rmdir(folder.c_str());
    });
    return 0;
}

// Input: writer (the table's writable formats in order) and compression
// (0 to 5, below it), width - 1, height - 1, channels and orientation, then
// the pixels (4 bytes each, repeated when the input is short).
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 5) return 0;
    const Target t = {writers[data[0] % writers.size()],
                      iflCompression(data[0] / writers.size() % (iflJPEGCompression + 1))};
    const bool lossless = (t.codec->lossless >> t.compression) & 1;
    int w = data[1] % 48 + 1, h = data[2] % 48 + 1;
    // JPEG compression refuses alpha by design.
    int channels = data[3] & 1 && t.compression != iflJPEGCompression ? 4 : 3;
    iflOrientation orient = iflOrientation(data[4] % 8 + 1);
    const uint8_t* px = data + 5;
    size_t npx = size - 5;
    std::vector<uint8_t> picture(size_t(w) * size_t(h) * 4);
    for (size_t i = 0; i < picture.size(); ++i) picture[i] = npx ? px[i % npx] : uint8_t(i);

    // The caller's buffer is in orientation `orient`; the upright picture's
    // size follows from it.
    iflSize bufSize(w, h, channels);
    iflSize upright = bufSize;
    iflMapSize(orient, upright, iflUpperLeft);
    upright.c = channels;
    std::string name = folder + "/picture." + t.codec->endings[0];
    iflFileConfig config(&upright, iflUInt8, iflOrderDefault, iflColorModelDefault, iflOrientationDefault,
                         t.compression);
    iflStatus status;
    iflFile* out = iflFile::create(-1, name.c_str(), nullptr, &config, iflFormat::find(t.codec->name), &status);
    check(out != nullptr, "create failed", t);
    int written = out->getSize().c;
    static const int kIdentity[4] = {0, 1, 2, 3};
    iflConfig layout(iflUInt8, iflInterleaved, 4, kIdentity, 0, orient);
    status = out->setTile(0, 0, 0, w, h, 1, picture.data(), &layout);
    out->close();
    check(status == iflSuccess, "setTile failed", t);

    iflFile* in = iflFile::open(-1, name.c_str(), 0, nullptr, &status);
    check(in != nullptr, "reading back failed to open", t);
    iflSize back = in->getSize();
    iflMapSize(in->getOrientation(), back, orient);
    check(back.x == w && back.y == h, "size changed", t);
    std::vector<uint8_t> read(picture.size());
    status = in->getTile(0, 0, 0, w, h, 1, read.data(), &layout);
    in->close();
    unlink(name.c_str());
    check(status == iflSuccess, "getTile failed", t);
    if (!lossless) return 0;
    for (size_t i = 0; i < picture.size(); i += 4) {
        check(memcmp(&picture[i], &read[i], 3) == 0, "colour changed", t);
        check(read[i + 3] == (written == 4 ? picture[i + 3] : 255), "alpha changed", t);
    }
    return 0;
}
