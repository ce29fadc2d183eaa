// JPEG XL through libjxl, which is opened on first use together with its
// thread runner (libjxl_threads): a run that converts other formats never
// maps them.
//
// Reading: the first frame as libjxl composes it (an animation's later
// frames are never decoded), turned upright by libjxl itself: it writes each
// pixel at its place in the upright picture as it renders, so every
// orientation lands straight in the caller's block, where the core would
// have to remap a turned picture row by row through a scratch row. Samples
// of any depth, integer or float, are rounded to 8 bits by libjxl. Lossy
// (XYB) files are rendered as sRGB by libjxl; files that keep their original
// colour space hand its profile to the core's colour step. A JPEG recompressed
// into JPEG XL decodes to pixels like any other file.
//
// Writing: lossy at butteraugli distance 1.0, libjxl's own default and the
// distance its documentation calls visually lossless, or lossless when the
// caller asks for no compression loss (iflNoCompression). Effort 6 for
// both; see kEffort.
#include "codec.h"

#include <jxl/decode.h>
#include <jxl/encode.h>
#include <jxl/thread_parallel_runner.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ifl0 {
namespace {

#define IFL0_JXL_CALLS(X)                                                                                    \
    X(JxlDecoderCreate) X(JxlDecoderDestroy) X(JxlDecoderSubscribeEvents) X(JxlDecoderSetParallelRunner)     \
    X(JxlDecoderSetInput) X(JxlDecoderCloseInput) X(JxlDecoderProcessInput) X(JxlDecoderGetBasicInfo)        \
    X(JxlDecoderGetColorAsEncodedProfile) X(JxlDecoderGetICCProfileSize) X(JxlDecoderGetColorAsICCProfile)   \
    X(JxlDecoderSetPreferredColorProfile) X(JxlDecoderImageOutBufferSize) X(JxlDecoderSetImageOutBuffer)     \
    X(JxlDecoderSetImageOutCallback) X(JxlEncoderCreate) X(JxlEncoderDestroy) X(JxlEncoderSetParallelRunner) \
    X(JxlEncoderInitBasicInfo) X(JxlEncoderSetBasicInfo) X(JxlEncoderSetColorEncoding)                       \
    X(JxlColorEncodingSetToSRGB) X(JxlEncoderFrameSettingsCreate) X(JxlEncoderSetFrameLossless)              \
    X(JxlEncoderSetFrameDistance) X(JxlEncoderFrameSettingsSetOption) X(JxlEncoderAddImageFrame)             \
    X(JxlEncoderCloseInput) X(JxlEncoderProcessOutput)
#define IFL0_JXL_THREAD_CALLS(X) \
    X(JxlThreadParallelRunner) X(JxlThreadParallelRunnerCreate) X(JxlThreadParallelRunnerDestroy)

struct Api {
    IFL0_JXL_CALLS(IFL0_CALL_POINTER)
    IFL0_JXL_THREAD_CALLS(IFL0_CALL_POINTER)
};

// libjxl's calls, bound the first time a JPEG XL file is read or written;
// null with err set when libjxl cannot be loaded.
const Api* api(std::string& err) {
    static std::string failure;
    static const Api* const calls = []() -> const Api* {
        static const char* const kCodec[] = {"libjxl.so.0.7", nullptr};
        static const char* const kThreads[] = {"libjxl_threads.so.0.7", nullptr};
        static Api bound;
        {
            const char* const label = "libjxl";
            void* library = openLibrary(label, kCodec, failure);
            if (!library) return nullptr;
            IFL0_JXL_CALLS(IFL0_BIND_CALL)
        }
        const char* const label = "libjxl_threads";
        void* library = openLibrary(label, kThreads, failure);
        if (!library) return nullptr;
        IFL0_JXL_THREAD_CALLS(IFL0_BIND_CALL)
        return &bound;
    }();
    if (!calls) err = failure;
    return calls;
}

// A bare codestream, or the container's signature box.
bool sniff(const uint8_t* p, size_t n) {
    static const uint8_t kContainer[12] = {0, 0, 0, 12, 'J', 'X', 'L', ' ', '\r', '\n', 0x87, '\n'};
    return (n >= 2 && p[0] == 0xff && p[1] == 0x0a) || (n >= 12 && memcmp(p, kContainer, 12) == 0);
}

// A decoder over a whole file, with libjxl's thread runner on threads
// threads (none for 1).
class Decoder {
public:
    Decoder(const Api& a, Bytes in, int events, int threads) : a_(a), dec_(a.JxlDecoderCreate(nullptr)) {
        if (dec_ && threads > 1) runner_ = a.JxlThreadParallelRunnerCreate(nullptr, size_t(threads));
        ok_ = dec_ && (threads <= 1 || runner_) && a.JxlDecoderSubscribeEvents(dec_, events) == JXL_DEC_SUCCESS &&
              (!runner_ || a.JxlDecoderSetParallelRunner(dec_, a.JxlThreadParallelRunner, runner_) == JXL_DEC_SUCCESS) &&
              a.JxlDecoderSetInput(dec_, in.data, in.size) == JXL_DEC_SUCCESS;
        if (ok_) a.JxlDecoderCloseInput(dec_);
    }
    ~Decoder() {
        if (dec_) a_.JxlDecoderDestroy(dec_);
        if (runner_) a_.JxlThreadParallelRunnerDestroy(runner_);
    }
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;

    bool ok() const { return ok_; }
    JxlDecoder* get() const { return dec_; }
    // The next event. libjxl prints its reasons for failing on standard
    // error: the library says it in one line instead.
    JxlDecoderStatus next() const {
        SilencedStderr quiet;
        return a_.JxlDecoderProcessInput(dec_);
    }

private:
    const Api& a_;
    JxlDecoder* dec_;
    void* runner_ = nullptr;
    bool ok_ = false;
};

// The status and reason for a decoder that stopped at status s where it
// expected more.
iflStatus stopped(JxlDecoderStatus s, std::string& err) {
    err = s == JXL_DEC_NEED_MORE_INPUT ? "truncated JPEG XL data" : "corrupt JPEG XL data";
    return iflErrCorrupt;
}

iflStatus noDecoder(std::string& err) {
    err = "cannot start libjxl's decoder";
    return iflErrNoMemory;
}

bool isSrgb(const JxlColorEncoding& c) {
    return c.white_point == JXL_WHITE_POINT_D65 && c.transfer_function == JXL_TRANSFER_FUNCTION_SRGB &&
           (c.color_space == JXL_COLOR_SPACE_GRAY ||
            (c.color_space == JXL_COLOR_SPACE_RGB && c.primaries == JXL_PRIMARIES_SRGB));
}

// What open learns from the headers and decode needs.
struct Header {
    int width = 0, height = 0;  // upright
    bool grey = false;
    bool xyb = false;  // rendered in a colour space of the decoder's choice
};

class JxlReader final : public Reader {
public:
    JxlReader(const Api& a, Bytes in, const Header& h) : a_(a), in_(in), h_(h) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        const int64_t pixels = int64_t(h_.width) * h_.height;
        Decoder d(a_, in_, JXL_DEC_COLOR_ENCODING | JXL_DEC_FULL_IMAGE,
                  pixels >= kMinParallelPixels ? threadCount() : 1);
        if (!d.ok()) return noDecoder(err);
        const size_t rowBytes = size_t(h_.width) * 4;
        JxlPixelFormat format = {4, JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
        std::vector<uint8_t> picture;  // when the rows are not in one block
        for (;;) {
            const JxlDecoderStatus s = d.next();
            if (s == JXL_DEC_COLOR_ENCODING) {
                if (!h_.xyb) continue;
                JxlColorEncoding srgb;
                a_.JxlColorEncodingSetToSRGB(&srgb, h_.grey);
                if (a_.JxlDecoderSetPreferredColorProfile(d.get(), &srgb) != JXL_DEC_SUCCESS) return stopped(s, err);
            } else if (s == JXL_DEC_NEED_IMAGE_OUT_BUFFER) {
                if (!setOutput(d.get(), sink, format, picture)) return stopped(JXL_DEC_ERROR, err);
            } else if (s == JXL_DEC_FULL_IMAGE) {
                for (int r = 0; r < h_.height; ++r) {
                    if (!picture.empty()) memcpy(sink.row(r), picture.data() + rowBytes * size_t(r), rowBytes);
                    sink.done(r);
                }
                return iflSuccess;
            } else {
                return stopped(s, err);
            }
        }
    }

private:
    // Where libjxl puts the picture: the caller's block when libjxl can lay
    // its rows there (at a positive distance it can express as alignment),
    // else a callback that copies each stretch into the block's row, else a
    // picture of its own that decode hands over row by row.
    bool setOutput(JxlDecoder* dec, RowSink& sink, JxlPixelFormat& format, std::vector<uint8_t>& picture) {
        const size_t rowBytes = size_t(h_.width) * 4;
        if (sink.block && sink.block.stride >= ptrdiff_t(rowBytes)) {
            format.align = size_t(sink.block.stride);
            const size_t span = size_t(sink.block.stride) * size_t(h_.height - 1) + rowBytes;
            size_t need = 0;
            if (a_.JxlDecoderImageOutBufferSize(dec, &format, &need) == JXL_DEC_SUCCESS && need <= span)
                return a_.JxlDecoderSetImageOutBuffer(dec, &format, sink.block.base, span) == JXL_DEC_SUCCESS;
            format.align = 0;
        }
        if (sink.block) {
            block_ = sink.block;
            return a_.JxlDecoderSetImageOutCallback(dec, &format, intoBlock, this) == JXL_DEC_SUCCESS;
        }
        picture.resize(rowBytes * size_t(h_.height));
        return a_.JxlDecoderSetImageOutBuffer(dec, &format, picture.data(), picture.size()) == JXL_DEC_SUCCESS;
    }

    static void intoBlock(void* self, size_t x, size_t y, size_t n, const void* pixels) {
        const Rows<uint8_t>& block = static_cast<JxlReader*>(self)->block_;
        memcpy(block.row(int(y)) + x * 4, pixels, n * 4);
    }

    const Api& a_;
    Bytes in_;
    Header h_;
    Rows<uint8_t> block_;
};

// The profile of the decoded samples when they are not sRGB; empty when
// they are.
std::vector<uint8_t> profileOf(const Api& a, JxlDecoder* dec) {
    JxlColorEncoding encoded;
    if (a.JxlDecoderGetColorAsEncodedProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &encoded) ==
            JXL_DEC_SUCCESS &&
        isSrgb(encoded))
        return {};
    size_t size = 0;
    std::vector<uint8_t> icc;
    if (a.JxlDecoderGetICCProfileSize(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, &size) != JXL_DEC_SUCCESS)
        return icc;
    icc.resize(size);
    if (a.JxlDecoderGetColorAsICCProfile(dec, nullptr, JXL_COLOR_PROFILE_TARGET_DATA, icc.data(), size) !=
        JXL_DEC_SUCCESS)
        icc.clear();
    return icc;
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    const Api* a = api(err);
    if (!a) return iflErrUnsupported;
    Decoder d(*a, in, JXL_DEC_BASIC_INFO | JXL_DEC_COLOR_ENCODING, 1);
    if (!d.ok()) return noDecoder(err);
    JxlDecoderStatus s = d.next();
    JxlBasicInfo basic;
    if (s != JXL_DEC_BASIC_INFO || a->JxlDecoderGetBasicInfo(d.get(), &basic) != JXL_DEC_SUCCESS)
        return stopped(s, err);
    // The upright size: libjxl reports it so when it applies the orientation.
    const int64_t w = basic.xsize, h = basic.ysize;
    if (!info.setSize(w, h)) return iflErrTooLarge;
    // libjxl holds every channel at the picture's size, extra channels too:
    // they count toward the limits like the RGBA block's four.
    const int64_t channels = int64_t(basic.num_color_channels) + basic.num_extra_channels;
    if (channels > 4 && w * h * channels > 4 * std::min(maxPixels, kMaxBlockBytes / 4)) {
        err = "picture of " + std::to_string(w) + " by " + std::to_string(h) + " with " +
              std::to_string(basic.num_extra_channels) + " extra channels is beyond the size limits";
        return iflErrTooLarge;
    }
    if ((s = d.next()) != JXL_DEC_COLOR_ENCODING) return stopped(s, err);
    Header header;
    header.width = int(w);
    header.height = int(h);
    header.grey = basic.num_color_channels == 1;
    header.xyb = !basic.uses_original_profile;
    info.channels = basic.alpha_bits ? 4 : 3;
    info.orientation = iflUpperLeft;
    if (!header.xyb) {
        info.icc = profileOf(*a, d.get());
        info.samples = header.grey ? Samples::grey : Samples::rgb;
    }
    reader = std::make_unique<JxlReader>(*a, in, header);
    return iflSuccess;
}

// Effort 6, one below libjxl's default: on a 20 MP photograph (from a
// quality 90 JPEG) at distance 1.0, efforts 5, 6 and 7 (cjxl) made files of
// 2.295, 2.303 and 2.307 MB at 43.38, 43.41 and 43.44 dB PSNR, but effort 7
// took about twice as long as 6 on two cores (13 s, as long as vips' own
// effort 7 encode).
constexpr int kEffort = 6;
constexpr float kDistance = 1.0f;

iflStatus encoderFailed(std::string& err) {
    err = "libjxl could not encode the picture";
    return iflErrUnsupported;
}

// An encoder with libjxl's thread runner; released with it.
struct Encoder {
    const Api& a;
    JxlEncoder* enc;
    void* runner = nullptr;
    explicit Encoder(const Api& api) : a(api), enc(api.JxlEncoderCreate(nullptr)) {
        if (enc && threadCount() > 1) runner = a.JxlThreadParallelRunnerCreate(nullptr, size_t(threadCount()));
    }
    ~Encoder() {
        if (enc) a.JxlEncoderDestroy(enc);
        if (runner) a.JxlThreadParallelRunnerDestroy(runner);
    }
    Encoder(const Encoder&) = delete;
    Encoder& operator=(const Encoder&) = delete;
};

iflStatus write(FILE* out, PixelSource& px, const WriteOptions& opts, std::string& err) {
    const Api* a = api(err);
    if (!a) return iflErrUnsupported;
    Encoder e(*a);
    if (!e.enc || (threadCount() > 1 && !e.runner)) {
        err = "cannot start libjxl's encoder";
        return iflErrNoMemory;
    }
    const bool lossless = opts.compression == iflNoCompression, alpha = px.channels == 4;
    JxlBasicInfo basic;
    a->JxlEncoderInitBasicInfo(&basic);
    basic.xsize = uint32_t(px.width);
    basic.ysize = uint32_t(px.height);
    basic.bits_per_sample = 8;
    basic.num_color_channels = 3;
    basic.num_extra_channels = alpha ? 1 : 0;
    basic.alpha_bits = alpha ? 8 : 0;
    basic.uses_original_profile = lossless;
    JxlColorEncoding srgb;
    a->JxlColorEncodingSetToSRGB(&srgb, JXL_FALSE);
    if ((e.runner && a->JxlEncoderSetParallelRunner(e.enc, a->JxlThreadParallelRunner, e.runner) != JXL_ENC_SUCCESS) ||
        a->JxlEncoderSetBasicInfo(e.enc, &basic) != JXL_ENC_SUCCESS ||
        a->JxlEncoderSetColorEncoding(e.enc, &srgb) != JXL_ENC_SUCCESS)
        return encoderFailed(err);
    JxlEncoderFrameSettings* settings = a->JxlEncoderFrameSettingsCreate(e.enc, nullptr);
    if (!settings || a->JxlEncoderFrameSettingsSetOption(settings, JXL_ENC_FRAME_SETTING_EFFORT, kEffort) != JXL_ENC_SUCCESS ||
        (lossless ? a->JxlEncoderSetFrameLossless(settings, JXL_TRUE)
                  : a->JxlEncoderSetFrameDistance(settings, kDistance)) != JXL_ENC_SUCCESS)
        return encoderFailed(err);

    // libjxl copies the picture into its own planes: RGBA rows in the
    // caller's block are taken in place, anything else gathered first.
    JxlPixelFormat format = {uint32_t(px.channels), JXL_TYPE_UINT8, JXL_NATIVE_ENDIAN, 0};
    const size_t rowBytes = size_t(px.width) * size_t(px.channels);
    std::vector<uint8_t> rows;
    const void* pixels = nullptr;
    size_t size = 0;
    if (alpha && px.rgbx && px.rgbx.stride >= ptrdiff_t(rowBytes)) {
        format.align = size_t(px.rgbx.stride);
        pixels = px.rgbx.base;
        size = size_t(px.rgbx.stride) * size_t(px.height - 1) + rowBytes;
    } else {
        rows.resize(rowBytes * size_t(px.height));
        for (int r = 0; r < px.height; ++r) {
            uint8_t* o = rows.data() + rowBytes * size_t(r);
            if (!px.rgbx) {
                memcpy(o, px.row(r), rowBytes);
                continue;
            }
            const uint8_t* s = px.rgbx.row(r);
            if (alpha) {
                memcpy(o, s, rowBytes);
                continue;
            }
            for (int x = 0; x < px.width; ++x, s += 4, o += 3) o[0] = s[0], o[1] = s[1], o[2] = s[2];
        }
        pixels = rows.data();
        size = rows.size();
    }
    SilencedStderr quiet;  // libjxl's reasons for failing; the library says it in one line
    if (a->JxlEncoderAddImageFrame(settings, &format, pixels, size) != JXL_ENC_SUCCESS) return encoderFailed(err);
    a->JxlEncoderCloseInput(e.enc);
    std::vector<uint8_t> buffer(size_t(1) << 20);
    for (;;) {
        uint8_t* next = buffer.data();
        size_t avail = buffer.size();
        const JxlEncoderStatus s = a->JxlEncoderProcessOutput(e.enc, &next, &avail);
        const size_t n = buffer.size() - avail;
        if (n && fwrite(buffer.data(), 1, n, out) != n) {
            err = "cannot write the file";
            return iflErrIO;
        }
        if (s == JXL_ENC_SUCCESS) return iflSuccess;
        if (s != JXL_ENC_NEED_MORE_OUTPUT) return encoderFailed(err);
    }
}

const char* const kEndings[] = {"jxl", nullptr};

}  // namespace

const Codec jxlCodec = {"JXL", kEndings, sniff, open, write, 4, 1u << iflNoCompression};

}  // namespace ifl0
