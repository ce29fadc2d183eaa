// Conversion of decoded pixels to sRGB through the file's ICC profile, with
// Little CMS 2. The rendering intent is perceptual, as a photo viewer would
// choose: a profile with perceptual tables (CMYK print profiles, most LUT
// profiles) maps its whole gamut into sRGB's smoothly instead of clipping
// it; for matrix profiles (Adobe RGB, Display P3) it is the same as relative
// colorimetric. Matrix profiles, the common case for photographs, take a
// path of our own that does per pixel what Little CMS does (curve, matrix,
// sRGB curve) about twice as fast; grey profiles become one table of 256
// colours; everything else goes through a Little CMS transform.
#include "colour.h"

#include <lcms2.h>

#include <cmath>
#include <cstring>

namespace ifl0 {

namespace {

constexpr cmsUInt32Number kIntent = INTENT_PERCEPTUAL;

// One context for the library, whose errors go nowhere: a profile that
// fails is reported once, by the core.
cmsContext context() {
    static const cmsContext ctx = [] {
        cmsContext c = cmsCreateContext(nullptr, nullptr);
        if (c) cmsSetLogErrorHandlerTHR(c, [](cmsContext, cmsUInt32Number, const char*) {});
        return c;
    }();
    return ctx;
}

struct Profile {
    cmsHPROFILE p;
    explicit Profile(cmsHPROFILE profile) : p(profile) {}
    ~Profile() {
        if (p) cmsCloseProfile(p);
    }
    Profile(const Profile&) = delete;
    Profile& operator=(const Profile&) = delete;
};

// The colorants of a matrix profile as the columns of a matrix, or false.
bool colorants(cmsHPROFILE p, double m[3][3]) {
    const cmsTagSignature tags[3] = {cmsSigRedColorantTag, cmsSigGreenColorantTag, cmsSigBlueColorantTag};
    for (int c = 0; c < 3; ++c) {
        const cmsCIEXYZ* xyz = static_cast<const cmsCIEXYZ*>(cmsReadTag(p, tags[c]));
        if (!xyz) return false;
        m[0][c] = xyz->X, m[1][c] = xyz->Y, m[2][c] = xyz->Z;
    }
    return true;
}

bool invert(const double a[3][3], double r[3][3]) {
    const double det = a[0][0] * (a[1][1] * a[2][2] - a[1][2] * a[2][1]) -
                       a[0][1] * (a[1][0] * a[2][2] - a[1][2] * a[2][0]) +
                       a[0][2] * (a[1][0] * a[2][1] - a[1][1] * a[2][0]);
    if (!std::isfinite(det) || std::fabs(det) < 1e-9) return false;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            const int i1 = (j + 1) % 3, i2 = (j + 2) % 3, j1 = (i + 1) % 3, j2 = (i + 2) % 3;
            r[i][j] = (a[i1][j1] * a[i2][j2] - a[i1][j2] * a[i2][j1]) / det;
        }
    return true;
}

// sRGB's curve (IEC 61966-2-1) from linear light to the nearest 8-bit value.
uint8_t encodeSrgb(float linear) {
    linear = linear < 0.0f ? 0.0f : linear > 1.0f ? 1.0f : linear;
    const float v = linear <= 0.0031308f ? 12.92f * linear : 1.055f * std::pow(linear, 1 / 2.4f) - 0.055f;
    return uint8_t(v * 255.0f + 0.5f);
}

// The inverse of sRGB's colorant matrix: its primaries adapted to D50, as
// in every ICC profile.
const double (&srgbInverse())[3][3] {
    static const struct Inverse {
        double m[3][3];
        Inverse() {
            const double colorants[3][3] = {{0.4360747, 0.3850649, 0.1430804},
                                            {0.2225045, 0.7168786, 0.0606169},
                                            {0.0139322, 0.0971045, 0.7141733}};
            invert(colorants, m);
        }
    } inverse;
    return inverse.m;
}

// sRGB's curve as a table over linear light, fine enough that every 8-bit
// result is the nearest one; made when a picture first needs it.
constexpr int kEncodeSteps = 16384;
const uint8_t* srgbEncodeTable() {
    static const struct Table {
        uint8_t t[kEncodeSteps + 1];
        Table() {
            for (int i = 0; i <= kEncodeSteps; ++i) t[i] = encodeSrgb(float(i) / kEncodeSteps);
        }
    } table;
    return table.t;
}

// Curve, matrix, sRGB curve: what Little CMS does for a matrix profile.
class MatrixShaper final : public ColourStep {
public:
    bool build(cmsHPROFILE p) {
        const double(&out)[3][3] = srgbInverse();
        double in[3][3];
        if (!colorants(p, in)) return false;
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j) {
                double v = 0;
                for (int k = 0; k < 3; ++k) v += out[i][k] * in[k][j];
                if (!std::isfinite(v)) return false;
                m_[i][j] = float(v);
            }
        const cmsTagSignature trcs[3] = {cmsSigRedTRCTag, cmsSigGreenTRCTag, cmsSigBlueTRCTag};
        for (int c = 0; c < 3; ++c) {
            const cmsToneCurve* curve = static_cast<const cmsToneCurve*>(cmsReadTag(p, trcs[c]));
            if (!curve) return false;
            for (int v = 0; v < 256; ++v) {
                float l = cmsEvalToneCurveFloat(curve, float(v) / 255.0f);
                linear_[c][v] = std::isfinite(l) ? std::min(std::max(l, 0.0f), 1.0f) : 0.0f;
            }
        }
        return true;
    }

    // Before the first apply: the sRGB curve's table, which identity() does
    // without.
    void ready() { encode_ = srgbEncodeTable(); }

    // True when the step changes no 8-bit value: the profile is sRGB's.
    bool identity() const {
        for (int i = 0; i < 3; ++i)
            for (int j = 0; j < 3; ++j)
                if (std::fabs(m_[i][j] - (i == j ? 1.0f : 0.0f)) > 0.002f) return false;
        for (int c = 0; c < 3; ++c)
            for (int v = 0; v < 256; ++v)
                if (encodeSrgb(linear_[c][v]) != v) return false;
        return true;
    }

    void apply(uint8_t* px, size_t n) const override {
        for (size_t i = 0; i < n; ++i, px += 4) {
            const float r = linear_[0][px[0]], g = linear_[1][px[1]], b = linear_[2][px[2]];
            for (int k = 0; k < 3; ++k) px[k] = encode_[index(m_[k][0] * r + m_[k][1] * g + m_[k][2] * b)];
        }
    }

private:
    static int index(float linear) {
        linear = linear < 0.0f ? 0.0f : linear > 1.0f ? 1.0f : linear;
        return int(linear * kEncodeSteps + 0.5f);
    }

    float linear_[3][256];
    float m_[3][3];
    const uint8_t* encode_ = nullptr;
};

// Grey samples: each of the 256 levels has one sRGB colour.
class GreyTable final : public ColourStep {
public:
    bool build(cmsHPROFILE p, cmsHPROFILE srgb) {
        cmsHTRANSFORM t = cmsCreateTransformTHR(context(), p, TYPE_GRAY_8, srgb, TYPE_RGB_8, kIntent, 0);
        if (!t) return false;
        uint8_t levels[256];
        for (int v = 0; v < 256; ++v) levels[v] = uint8_t(v);
        cmsDoTransform(t, levels, rgb_, 256);
        cmsDeleteTransform(t);
        return true;
    }
    bool identity() const {
        for (int v = 0; v < 256; ++v)
            if (rgb_[v][0] != v || rgb_[v][1] != v || rgb_[v][2] != v) return false;
        return true;
    }
    void apply(uint8_t* px, size_t n) const override {
        for (size_t i = 0; i < n; ++i, px += 4) memcpy(px, rgb_[px[0]], 3);
    }

private:
    uint8_t rgb_[256][3];
};

// Any other profile, through a Little CMS transform in place. Without its
// one-pixel cache a transform may run on several threads at once.
class LcmsStep final : public ColourStep {
public:
    LcmsStep(cmsHTRANSFORM t, bool cmyk) : t_(t), cmyk_(cmyk) {}
    ~LcmsStep() override { cmsDeleteTransform(t_); }
    LcmsStep(const LcmsStep&) = delete;
    LcmsStep& operator=(const LcmsStep&) = delete;

    void apply(uint8_t* px, size_t n) const override {
        for (size_t done = 0; done < n;) {
            const size_t k = std::min<size_t>(n - done, size_t(1) << 20);
            cmsDoTransform(t_, px + 4 * done, px + 4 * done, cmsUInt32Number(k));
            done += k;
        }
        if (cmyk_)
            for (size_t i = 0; i < n; ++i) px[4 * i + 3] = 255;
    }

private:
    cmsHTRANSFORM t_;
    bool cmyk_;
};

const char* spaceName(uint32_t s) {
    switch (s) {
    case cmsSigRgbData: return "an RGB";
    case cmsSigGrayData: return "a grey";
    case cmsSigCmykData: return "a CMYK";
    case cmsSigLabData: return "a Lab";
    default: return "an unusual";
    }
}

}  // namespace

std::unique_ptr<ColourStep> ColourStep::make(const std::vector<uint8_t>& icc, Samples samples, std::string& why) {
    why.clear();
    const cmsContext ctx = context();
    Profile in(ctx && !icc.empty() && icc.size() <= 0xFFFFFFFFu
                   ? cmsOpenProfileFromMemTHR(ctx, icc.data(), cmsUInt32Number(icc.size()))
                   : nullptr);
    if (!in.p) {
        why = "it cannot be read";
        return nullptr;
    }
    // A profile's header may hold any number where an enumeration is typed:
    // read as plain numbers.
    const uint32_t cls = uint32_t(cmsGetDeviceClass(in.p));
    if (cls == cmsSigLinkClass || cls == cmsSigAbstractClass || cls == cmsSigNamedColorClass) {
        why = "it does not describe the colours of a picture";
        return nullptr;
    }
    const uint32_t space = uint32_t(cmsGetColorSpace(in.p));
    const uint32_t wanted = samples == Samples::rgb    ? cmsSigRgbData
                            : samples == Samples::grey ? cmsSigGrayData
                                                       : cmsSigCmykData;
    if (space != wanted) {
        why = std::string(spaceName(space)) + " profile does not fit " +
              (samples == Samples::rgb ? "RGB" : samples == Samples::grey ? "grey" : "CMYK") + " pixels";
        return nullptr;
    }
    if (samples == Samples::rgb && cmsIsMatrixShaper(in.p) && !cmsIsCLUT(in.p, kIntent, LCMS_USED_AS_INPUT)) {
        auto step = std::make_unique<MatrixShaper>();
        if (step->build(in.p)) {
            if (step->identity()) return nullptr;
            step->ready();
            return step;
        }
    }
    Profile srgb(cmsCreate_sRGBProfileTHR(ctx));
    if (!srgb.p) {
        why = "out of memory";
        return nullptr;
    }
    // As a version 2 profile, as the sRGB profiles that other programs
    // convert to are: a version 4 one would darken the blacks of version 2
    // print profiles by an implicit black point compensation.
    cmsSetProfileVersion(srgb.p, 2.1);
    if (samples == Samples::grey) {
        auto step = std::make_unique<GreyTable>();
        if (!step->build(in.p, srgb.p)) {
            why = "it cannot convert to sRGB";
            return nullptr;
        }
        return step->identity() ? nullptr : std::move(step);
    }
    const bool cmyk = samples == Samples::cmyk;
    cmsHTRANSFORM t = cmsCreateTransformTHR(ctx, in.p, cmyk ? TYPE_CMYK_8 : TYPE_RGBA_8, srgb.p, TYPE_RGBA_8, kIntent,
                                            cmsFLAGS_NOCACHE | (cmyk ? 0 : cmsFLAGS_COPY_ALPHA));
    if (!t) {
        why = "it cannot convert to sRGB";
        return nullptr;
    }
    return std::make_unique<LcmsStep>(t, cmyk);
}

Transfer transferOfCicp(int code) {
    switch (code) {
    case 4: return Transfer::gamma22;
    case 5: return Transfer::gamma28;
    case 8: return Transfer::linear;
    default: return Transfer::srgb;  // 13 itself; 1, 6, 14, 15 (BT.709's) are shown as sRGB too
    }
}

std::vector<uint8_t> profileOfPrimaries(const double xy[8], Transfer transfer) {
    static const double kSrgb[8] = {0.64, 0.33, 0.30, 0.60, 0.15, 0.06, 0.3127, 0.3290};
    bool srgb = transfer == Transfer::srgb;
    for (int i = 0; i < 8 && srgb; ++i) srgb = std::fabs(xy[i] - kSrgb[i]) < 0.001;
    if (srgb) return {};
    for (int i = 0; i < 8; ++i)
        if (!std::isfinite(xy[i]) || xy[i] <= 0 || xy[i] >= 1) return {};
    const cmsContext ctx = context();
    const cmsCIExyY white = {xy[6], xy[7], 1.0};
    const cmsCIExyYTRIPLE primaries = {{xy[0], xy[1], 1.0}, {xy[2], xy[3], 1.0}, {xy[4], xy[5], 1.0}};
    // IEC 61966-2-1's piecewise curve, or a plain power.
    const double srgbCurve[5] = {2.4, 1 / 1.055, 0.055 / 1.055, 1 / 12.92, 0.04045};
    cmsToneCurve* curve = transfer == Transfer::srgb ? cmsBuildParametricToneCurve(ctx, 4, srgbCurve)
                                                     : cmsBuildGamma(ctx, transfer == Transfer::gamma22   ? 2.2
                                                                          : transfer == Transfer::gamma28 ? 2.8
                                                                                                          : 1.0);
    if (!curve) return {};
    cmsToneCurve* curves[3] = {curve, curve, curve};
    Profile p(cmsCreateRGBProfileTHR(ctx, &white, &primaries, curves));
    cmsFreeToneCurve(curve);
    cmsUInt32Number size = 0;
    std::vector<uint8_t> icc;
    if (p.p && cmsSaveProfileToMem(p.p, nullptr, &size) && size) {
        icc.resize(size);
        if (!cmsSaveProfileToMem(p.p, icc.data(), &size)) icc.clear();
    }
    return icc;
}

}  // namespace ifl0
