// Picture likeness for the colour tests: PSNR over RGB, and binary PPM files
// read without the image-file library (for the driver's output).
#ifndef TESTS_PSNR_H
#define TESTS_PSNR_H

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace testutil {

// Peak signal-to-noise ratio in dB of two equally long 8-bit sample arrays;
// infinity when they are equal, 0 for arrays of different lengths.
inline double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
    if (a.size() != b.size() || a.empty()) return 0;
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        const double d = double(a[i]) - double(b[i]);
        sum += d * d;
    }
    if (sum == 0) return std::numeric_limits<double>::infinity();
    return 10 * std::log10(255.0 * 255.0 * double(a.size()) / sum);
}

// The RGB samples of a P6 file with maxval 255 (comments allowed in the
// header); false for anything else.
inline bool parsePpm(const std::vector<uint8_t>& d, int& w, int& h, std::vector<uint8_t>& rgb) {
    size_t i = 2;
    long v[3];
    if (d.size() < 2 || d[0] != 'P' || d[1] != '6') return false;
    for (long& n : v) {
        while (i < d.size() && (std::isspace(d[i]) || d[i] == '#')) {
            if (d[i] == '#')
                while (i < d.size() && d[i] != '\n') ++i;
            else
                ++i;
        }
        n = 0;
        if (i >= d.size() || !std::isdigit(d[i])) return false;
        while (i < d.size() && std::isdigit(d[i])) n = n * 10 + (d[i++] - '0');
    }
    ++i;  // the one white-space byte before the samples
    w = int(v[0]), h = int(v[1]);
    const size_t n = size_t(w) * size_t(h) * 3;
    if (v[2] != 255 || d.size() < i + n) return false;
    rgb.assign(d.begin() + i, d.begin() + i + n);
    return true;
}

}  // namespace testutil

#endif
