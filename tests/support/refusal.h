// Refusals through the image-file library, for the format tests.
#ifndef TESTS_REFUSAL_H
#define TESTS_REFUSAL_H

#include "picture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testutil {

// Reads bytes as format (recognised from them when null): the library must
// fail with status, printing one line "ifl0: memory: " that holds reason.
inline testing::AssertionResult refusedAs(const std::vector<uint8_t>& bytes, iflStatus status,
                                          const std::string& reason, iflFormat* format = nullptr) {
    testing::internal::CaptureStderr();
    Picture pic;
    const iflStatus st = readPicture(bytes, pic, kRGBA, 4, iflUpperLeft, format);
    const std::string err = testing::internal::GetCapturedStderr();
    if (st != status) return testing::AssertionFailure() << "status " << st << ": " << err;
    if (err.rfind("ifl0: memory: ", 0) != 0 || err.find(reason) == std::string::npos ||
        err.find('\n') != err.size() - 1)
        return testing::AssertionFailure() << "printed: " << err;
    return testing::AssertionSuccess();
}

// Writes a picture of w by h RGBA pixels, top row first, to path through the
// library, with `channels` channels (3 or 4).
inline iflStatus writePicture(const std::string& path, int w, int h, int channels, const std::vector<uint8_t>& rgba) {
    iflSize size(w, h, channels);
    iflFileConfig config(&size);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &config, nullptr, &st);
    if (!f) return st;
    iflConfig layout(iflUInt8, iflInterleaved, 4);
    st = f->setTile(0, 0, 0, w, h, 1, rgba.data(), &layout);
    f->close();
    return st;
}

}  // namespace testutil

#endif
