// Embedded colour profiles: pictures in Adobe RGB, CMYK and linear grey load
// as sRGB, close to an independent colour-managed conversion; sRGB profiles
// and profiles that are damaged or do not fit change nothing. The fixtures
// and their references are made by tests/data/colour/make.sh.
#include "colour.h"
#include "ifl0.h"
#include "psnr.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testutil::psnr;

const int kRGB[3] = {0, 1, 2};

// Likeness to the reference that only a colour-managed load reaches. The
// references are Little CMS's own perceptual conversions (tificc); a loader
// doing the same conversion differs by rounding, a level or two, above 45 dB.
// Reading the same pixels as if they were sRGB gives 14 to 20 dB on these
// pictures (saturated patches move by up to 144 levels, linear grey by up to
// 73), and the CMYK files converted with the relative colorimetric intent
// instead land near 31 dB. 35 dB leaves room for a faster conversion's
// rounding but not for a missing conversion or the wrong intent.
constexpr double kManagedDb = 35;
// The managed result must also beat the untagged reading by this much.
constexpr double kMarginDb = 10;

std::string path(const std::string& name) { return testutil::dataPath("colour/" + name); }

struct Loaded {
    iflStatus status = iflSuccess;
    int w = 0, h = 0;
    Bytes rgb;        // w x h x 3, top row first
    std::string err;  // what the library printed
};

// Opens the fixture by its path (the name in messages) and reads it as RGB.
Loaded load(const std::string& name) {
    Loaded r;
    const std::string p = path(name);
    testing::internal::CaptureStderr();
    iflFile* f = iflFile::open(-1, p.c_str(), 0, nullptr, &r.status);
    if (f) {
        iflSize s;
        f->getDimensions(s);
        r.w = s.x, r.h = s.y;
        r.rgb.assign(size_t(s.x) * s.y * 3, 0xAB);
        iflConfig layout(iflUInt8, iflInterleaved, 3, kRGB, 0, iflUpperLeft);
        r.status = f->getTile(0, 0, 0, s.x, s.y, 1, r.rgb.data(), &layout);
        f->close();
    }
    r.err = testing::internal::GetCapturedStderr();
    return r;
}

struct Case {
    const char* tagged;  // pixels in the profile's space, profile embedded
    const char* twin;    // the same pixels without the profile
    const char* ref;     // the tagged file converted to sRGB by Little CMS
};

// For each format: the tagged file lands near its reference, far nearer than
// the same pixels read untagged, and the load prints nothing.
const Case kManaged[] = {
    {"adobe.jpg", "adobe-noicc.jpg", "adobe-jpg.ref.ppm"},
    {"adobe-split.jpg", "adobe-noicc.jpg", "adobe-jpg.ref.ppm"},
    {"adobe.png", "adobe-noicc.png", "adobe.ref.ppm"},
    {"adobe.tif", "adobe-noicc.tif", "adobe.ref.ppm"},
    {"adobe.webp", "adobe-noicc.webp", "adobe.ref.ppm"},
    {"adobe.bmp", "adobe-noicc.bmp", "adobe.ref.ppm"},
    {"swap.bmp", "swap-noicc.bmp", "swap.ref.ppm"},
    {"cmyk.jpg", "cmyk-noicc.jpg", "cmyk-jpg.ref.ppm"},
    {"cmyk.tif", "cmyk-noicc.tif", "cmyk-tif.ref.ppm"},
    {"grey.jpg", "grey-noicc.jpg", "grey-jpg.ref.ppm"},
    {"grey.png", "grey-noicc.png", "grey-png.ref.ppm"},
};

TEST(ColourProfile, TaggedFilesLoadAsSrgbCloseToTheReference) {
    std::printf("%-18s %12s %12s\n", "file", "untagged dB", "tagged dB");
    for (const Case& c : kManaged) {
        SCOPED_TRACE(c.tagged);
        Loaded ref = load(c.ref), untagged = load(c.twin), tagged = load(c.tagged);
        ASSERT_EQ(ref.status, iflSuccess) << ref.err;
        ASSERT_EQ(untagged.status, iflSuccess) << untagged.err;
        ASSERT_EQ(tagged.status, iflSuccess) << tagged.err;
        ASSERT_EQ(tagged.w, ref.w);
        ASSERT_EQ(tagged.h, ref.h);
        const double before = psnr(untagged.rgb, ref.rgb), after = psnr(tagged.rgb, ref.rgb);
        std::printf("%-18s %12.2f %12.2f\n", c.tagged, before, after);
        // The fixtures are only useful while the untagged reading is clearly off.
        EXPECT_LT(before, kManagedDb - kMarginDb);
        EXPECT_GE(after, kManagedDb);
        EXPECT_GE(after, before + kMarginDb);
        EXPECT_EQ(tagged.err, "");
    }
}

// The profile exchanges the red and green colorants, so a colour-managed load
// swaps the file's red and green channels (up to the curves, gamma 2.2 here
// against sRGB's own).
TEST(ColourProfile, SwappedColorantsSwapRedAndGreen) {
    Loaded plain = load("swap-noicc.bmp"), tagged = load("swap.bmp");
    ASSERT_EQ(plain.status, iflSuccess) << plain.err;
    ASSERT_EQ(tagged.status, iflSuccess) << tagged.err;
    Bytes swapped = plain.rgb;
    for (size_t i = 0; i + 2 < swapped.size(); i += 3) std::swap(swapped[i], swapped[i + 1]);
    const double asSwapped = psnr(tagged.rgb, swapped), asPlain = psnr(tagged.rgb, plain.rgb);
    std::printf("swap.bmp: %.2f dB to the swapped picture, %.2f dB to the file's own\n", asSwapped, asPlain);
    EXPECT_GE(asSwapped, kManagedDb);
    EXPECT_LT(asPlain, 15);
}

// Files whose profile leaves the pixels alone, next to the same file without
// it: identical pictures.
struct Twin {
    const char* file;
    const char* twin;
};

// sRGB profiles, recognised from their content, and PNG's sRGB chunk: no
// change and nothing printed.
TEST(ColourProfile, SrgbTaggedFilesDecodeLikeUntaggedOnes) {
    const Twin kSrgb[] = {
        {"srgb.jpg", "srgb-noicc.jpg"},
        {"srgb.png", "srgb-noicc.png"},
        {"srgb-chunk.png", "srgb-noicc.png"},
    };
    for (const Twin& t : kSrgb) {
        SCOPED_TRACE(t.file);
        Loaded a = load(t.file), b = load(t.twin);
        ASSERT_EQ(a.status, iflSuccess) << a.err;
        ASSERT_EQ(b.status, iflSuccess) << b.err;
        EXPECT_TRUE(a.rgb == b.rgb);
        EXPECT_EQ(a.err, "");
    }
}

// A profile that does not parse, or that describes CMYK for an RGB picture:
// ignored, so the picture is the untagged one.
const Twin kDamaged[] = {
    {"bad-icc.jpg", "srgb-noicc.jpg"},
    {"cmyk-icc-on-rgb.jpg", "srgb-noicc.jpg"},
};

TEST(ColourProfile, UnusableProfilesAreIgnored) {
    for (const Twin& t : kDamaged) {
        SCOPED_TRACE(t.file);
        Loaded a = load(t.file), b = load(t.twin);
        ASSERT_EQ(a.status, iflSuccess) << a.err;
        ASSERT_EQ(b.status, iflSuccess) << b.err;
        EXPECT_TRUE(a.rgb == b.rgb);
    }
}

// ...and the load says so, once.
TEST(ColourProfile, UnusableProfilesPrintOneWarning) {
    for (const Twin& t : kDamaged) {
        SCOPED_TRACE(t.file);
        Loaded a = load(t.file);
        ASSERT_EQ(a.status, iflSuccess) << a.err;
        const std::string prefix = "ifl0: " + path(t.file) + ": JPEG: colour profile ignored: ";
        EXPECT_EQ(a.err.compare(0, prefix.size(), prefix), 0) << a.err;
        EXPECT_EQ(std::count(a.err.begin(), a.err.end(), '\n'), 1) << a.err;
        EXPECT_EQ(a.err.back(), '\n');
    }
}

}  // namespace

// A profile's header may hold any number where the colour space and the
// device class belong: such a profile is refused with a reason, and read as
// a plain number: clang's sanitizer flagged it held in an enumeration.
TEST(ColourProfile, HeaderFieldsOfAnyValueAreRefusedWithAReason) {
    const std::vector<uint8_t> srgb = testutil::readFile(testutil::dataPath("colour/srgb.jpg"));
    std::vector<uint8_t> icc;
    for (size_t at = 0; at + 18 < srgb.size(); ++at)
        if (srgb[at] == 0xFF && srgb[at + 1] == 0xE2 && memcmp(&srgb[at + 4], "ICC_PROFILE", 12) == 0) {
            const size_t len = size_t(srgb[at + 2]) << 8 | srgb[at + 3];
            icc.assign(srgb.begin() + long(at) + 18, srgb.begin() + long(at) + 2 + long(len));
            break;
        }
    ASSERT_GT(icc.size(), 128u);
    std::string why;
    EXPECT_EQ(ifl0::ColourStep::make(icc, ifl0::Samples::rgb, why), nullptr);
    EXPECT_EQ(why, "") << "sRGB itself needs no step";
    for (size_t field : {size_t(12), size_t(16)}) {  // device class, colour space
        std::vector<uint8_t> odd = icc;
        odd[field] = 0xFC, odd[field + 1] = 0x4A, odd[field + 2] = 0x11, odd[field + 3] = 0x20;
        EXPECT_EQ(ifl0::ColourStep::make(odd, ifl0::Samples::rgb, why), nullptr) << field;
        EXPECT_NE(why, "") << field;
    }
}
