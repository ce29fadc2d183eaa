// A whole picture read through the image-file library, for the format tests.
#ifndef TESTS_PICTURE_H
#define TESTS_PICTURE_H

#include <ifl0.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace testutil {

inline const int kRGBA[4] = {0, 1, 2, 3};

struct Picture {
    int w = 0, h = 0, c = 0;  // c: the file's channel count
    std::vector<uint8_t> px;  // w x h x nchans, top row first
    const uint8_t* at(int x, int y, int nchans = 4) const { return &px[(size_t(y) * w + x) * nchans]; }
};

// Opens bytes from memory, as the given format or recognised from them, and
// reads the whole picture in the given layout (unread bytes are 0xAB). px
// is top row first for either orientation.
inline iflStatus readPicture(const std::vector<uint8_t>& bytes, Picture& pic, const int* chans = kRGBA,
                             int nchans = 4, iflOrientation orient = iflUpperLeft, iflFormat* format = nullptr) {
    iflStatus st;
    iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "memory", format, &st);
    if (!f) return st;
    iflSize s;
    f->getDimensions(s);
    pic.w = s.x, pic.h = s.y, pic.c = s.c;
    std::vector<uint8_t> buf(size_t(s.x) * s.y * nchans, 0xAB);
    iflConfig layout(iflUInt8, iflInterleaved, nchans, chans, 0, orient);
    st = f->getTile(0, 0, 0, s.x, s.y, 1, buf.data(), &layout);
    f->close();
    const size_t rowBytes = size_t(s.x) * nchans;
    pic.px.resize(buf.size());
    for (int y = 0; y < s.y; ++y) {
        const int from = orient == iflLowerLeft ? s.y - 1 - y : y;
        std::copy_n(buf.begin() + from * rowBytes, rowBytes, pic.px.begin() + y * rowBytes);
    }
    return st;
}

// w x h with smooth colour ramps and, with four channels, alpha falling
// from left to right; nchans samples per pixel.
inline std::vector<uint8_t> ramp(int w, int h, int nchans) {
    std::vector<uint8_t> px;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            px.insert(px.end(), {uint8_t(40 + x * 160 / w), uint8_t(30 + y * 180 / h), uint8_t(200 - (x + y) * 100 / (w + h))});
            if (nchans == 4) px.push_back(uint8_t(255 - x * 200 / w));
        }
    return px;
}

// Writes px (w x h, nchans interleaved samples, top row first, exchanged as
// the channel list says) to a new file whose format follows from path's
// ending, with fileChannels channels (nchans when 0).
inline iflStatus writePicture(const std::string& path, const std::vector<uint8_t>& px, int w, int h, int nchans,
                              iflCompression compression = iflCompressionDefault, int fileChannels = 0,
                              const int* list = kRGBA) {
    iflSize size(w, h, fileChannels ? fileChannels : nchans);
    iflFileConfig config(&size, iflDataTypeDefault, iflOrderDefault, iflColorModelDefault, iflOrientationDefault,
                         compression);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &config, nullptr, &st);
    if (!f) return st;
    iflConfig layout(iflUInt8, iflInterleaved, nchans, list);
    st = f->setTile(0, 0, 0, w, h, 1, px.data(), &layout);
    iflStatus closed = f->close();
    return st != iflSuccess ? st : closed;
}

}  // namespace testutil

#endif
