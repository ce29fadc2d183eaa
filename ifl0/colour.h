// The colour step: pictures whose file describes their colour with an ICC
// profile are converted to sRGB once, after decoding, in the caller's rows.
#ifndef IFL0_COLOUR_H
#define IFL0_COLOUR_H

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ifl0 {

// What the decoded samples of a file are, before the colour step.
enum class Samples {
    rgb,   // red, green, blue in bytes 0 to 2 of each pixel, alpha in 3
    grey,  // grey in byte 0 (copied to 1 and 2), alpha in 3
    cmyk,  // ink amounts (0 none) in bytes 0 to 3, when the sink asks for them
};

class ColourStep {
public:
    virtual ~ColourStep() = default;
    // Makes the step from a profile for samples. Null with why empty when
    // the profile describes sRGB itself (nothing to do); null with why set
    // when it cannot be used (it does not parse, or does not fit samples).
    static std::unique_ptr<ColourStep> make(const std::vector<uint8_t>& icc, Samples samples, std::string& why);
    // Converts n pixels of 4 bytes in place to sRGB red, green and blue.
    // Alpha stays; CMYK pixels become opaque. May run on several threads.
    virtual void apply(uint8_t* px, size_t n) const = 0;
};

// How encoded samples map to light, for files that describe their colour
// by primaries instead of a profile.
enum class Transfer { srgb, gamma22, gamma28, linear };

// The transfer of an ITU-T H.273 (CICP) transfer characteristics code.
// HDR curves (PQ, HLG) and unknown codes count as sRGB's: nothing tone-maps.
Transfer transferOfCicp(int code);

// An ICC profile for RGB samples with these primaries and white point (CIE
// x, y of red, green, blue and white) and transfer, to convert through;
// empty when they are sRGB's own.
std::vector<uint8_t> profileOfPrimaries(const double xy[8], Transfer transfer);

}  // namespace ifl0

#endif
