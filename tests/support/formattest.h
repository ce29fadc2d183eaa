// Helpers for the format tests: whole pictures read through the
// image-file library, refusals, and damaged copies of a file.
#ifndef TESTS_FORMATTEST_H
#define TESTS_FORMATTEST_H

#include "picture.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testutil {

// The picture in bytes (the format recognised from them), which must read.
inline Picture decoded(const std::vector<uint8_t>& bytes) {
    Picture p;
    EXPECT_EQ(readPicture(bytes, p), iflSuccess);
    return p;
}

// Pixel x, y of a picture read in four channels, as "r,g,b,a".
inline std::string rgbaAt(const Picture& p, int x, int y) {
    const uint8_t* v = p.at(x, y);
    return std::to_string(v[0]) + "," + std::to_string(v[1]) + "," + std::to_string(v[2]) + "," +
           std::to_string(v[3]);
}

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

// Every prefix of a whole file (read as format, or recognised when null)
// fails, and 300 copies with one byte changed (seeded) read or fail
// cleanly: the sanitizer build turns any stray read into a failure.
inline void expectDamagedCopiesFailCleanly(const std::vector<uint8_t>& whole, iflFormat* format, uint32_t seed) {
    for (size_t n = 0; n < whole.size(); ++n) {
        Picture p;
        const std::vector<uint8_t> prefix(whole.begin(), whole.begin() + long(n));
        EXPECT_NE(readPicture(prefix, p, kRGBA, 4, iflUpperLeft, format), iflSuccess)
            << "a prefix of " << n << " bytes";
    }
    for (int i = 0; i < 300; ++i) {
        std::vector<uint8_t> b = whole;
        seed = seed * 1103515245 + 12345;
        b[(seed >> 8) % b.size()] = uint8_t(seed >> 24);
        Picture p;
        readPicture(b, p);
    }
}

}  // namespace testutil

#endif
