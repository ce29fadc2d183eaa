// WebP through libwebp: lossy and lossless still pictures, with or without
// alpha, and the first frame of an animation (composed on its canvas).
// Written lossy at quality 90, or lossless when the caller asks for no
// compression loss (iflNoCompression).
#include "codec.h"

#include <webp/decode.h>
#include <webp/demux.h>
#include <webp/encode.h>

#include <cstring>
#include <vector>

namespace ifl0 {
namespace {

const char* const kEndings[] = {"webp", nullptr};

constexpr float kLossyQuality = 90.0f;
constexpr int kMaxWebpSide = WEBP_MAX_DIMENSION;

bool sniff(const uint8_t* p, size_t n) {
    return n >= 12 && memcmp(p, "RIFF", 4) == 0 && memcmp(p + 8, "WEBP", 4) == 0;
}

iflStatus statusFailure(VP8StatusCode code, std::string& err) {
    switch (code) {
    case VP8_STATUS_OUT_OF_MEMORY:
        err = "out of memory";
        return iflErrNoMemory;
    case VP8_STATUS_UNSUPPORTED_FEATURE:
        err = "unsupported WebP feature";
        return iflErrUnsupported;
    case VP8_STATUS_NOT_ENOUGH_DATA:
        err = "truncated WebP data";
        return iflErrCorrupt;
    default:
        err = "corrupt WebP data";
        return iflErrCorrupt;
    }
}

// True when libwebp can take the caller's block for the whole picture:
// top-down rows that do not overlap, at a distance libwebp can hold.
template <typename T>
bool fitsBlock(const Rows<T>& block, int width) {
    return block && block.stride >= ptrdiff_t(width) * 4 && block.stride <= 0x7fffffff;
}

class WebpReader final : public Reader {
public:
    WebpReader(Bytes in, int width, int height, bool animated)
        : in_(in), width_(width), height_(height), animated_(animated) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        return animated_ ? decodeAnimation(sink, err) : decodeStill(sink, err);
    }

private:
    iflStatus decodeStill(RowSink& sink, std::string& err) {
        WebPDecoderConfig config;
        if (!WebPInitDecoderConfig(&config)) {
            err = "libwebp version mismatch";
            return iflErrUnsupported;
        }
        size_t rowBytes = size_t(width_) * 4;
        const bool direct = fitsBlock(sink.block, width_);
        const int stride = direct ? int(sink.block.stride) : 0;
        std::vector<uint8_t> picture;
        WebPRGBABuffer& out = config.output.u.RGBA;
        config.output.colorspace = MODE_RGBA;
        config.output.is_external_memory = 1;
        if (direct) {
            out.rgba = sink.block.base;
            out.stride = stride;
            out.size = size_t(stride) * size_t(height_ - 1) + rowBytes;
        } else {
            picture.resize(rowBytes * size_t(height_));
            out.rgba = picture.data();
            out.stride = int(rowBytes);
            out.size = picture.size();
        }
        VP8StatusCode code = WebPDecode(in_.data, in_.size, &config);
        WebPFreeDecBuffer(&config.output);
        if (code != VP8_STATUS_OK) return statusFailure(code, err);
        if (config.output.width != width_ || config.output.height != height_) {
            err = "WebP picture size changed while decoding";
            return iflErrCorrupt;
        }
        for (int r = 0; r < height_; ++r) {
            if (!direct) memcpy(sink.row(r), picture.data() + rowBytes * size_t(r), rowBytes);
            sink.done(r);
        }
        return iflSuccess;
    }

    // The first frame as libwebp's animation decoder composes it on the
    // canvas (transparent where the frame does not reach).
    iflStatus decodeAnimation(RowSink& sink, std::string& err) {
        WebPAnimDecoderOptions opts;
        if (!WebPAnimDecoderOptionsInit(&opts)) {
            err = "libwebp version mismatch";
            return iflErrUnsupported;
        }
        opts.color_mode = MODE_RGBA;
        opts.use_threads = 0;
        WebPData data = {in_.data, in_.size};
        std::unique_ptr<WebPAnimDecoder, void (*)(WebPAnimDecoder*)> dec(WebPAnimDecoderNew(&data, &opts),
                                                                          WebPAnimDecoderDelete);
        if (!dec) {
            err = "corrupt or truncated animated WebP data";
            return iflErrCorrupt;
        }
        WebPAnimInfo info;
        uint8_t* canvas = nullptr;
        int timestamp = 0;
        if (!WebPAnimDecoderGetInfo(dec.get(), &info) || int(info.canvas_width) != width_ ||
            int(info.canvas_height) != height_ || !WebPAnimDecoderGetNext(dec.get(), &canvas, &timestamp) ||
            !canvas) {
            err = "corrupt or truncated animated WebP data";
            return iflErrCorrupt;
        }
        size_t rowBytes = size_t(width_) * 4;
        for (int r = 0; r < height_; ++r) {
            memcpy(sink.row(r), canvas + rowBytes * size_t(r), rowBytes);
            sink.done(r);
        }
        return iflSuccess;
    }

    Bytes in_;
    int width_, height_;
    bool animated_;
};

// For an animation: whether its first frame leaves any of the canvas
// uncovered (those pixels read as transparent).
bool firstFrameLeavesGaps(Bytes in, int width, int height) {
    WebPData data = {in.data, in.size};
    WebPDemuxer* demux = WebPDemux(&data);
    if (!demux) return true;
    WebPIterator it;
    bool gaps = true;
    if (WebPDemuxGetFrame(demux, 1, &it)) {
        gaps = it.x_offset != 0 || it.y_offset != 0 || it.width != width || it.height != height;
        WebPDemuxReleaseIterator(&it);
    }
    WebPDemuxDelete(demux);
    return gaps;
}

// The profile of the ICCP chunk of an extended file; empty when none.
std::vector<uint8_t> iccProfile(Bytes in) {
    if (in.size < 16 || memcmp(in.data + 12, "VP8X", 4) != 0) return {};
    WebPData data = {in.data, in.size};
    std::unique_ptr<WebPDemuxer, void (*)(WebPDemuxer*)> demux(WebPDemux(&data), WebPDemuxDelete);
    std::vector<uint8_t> icc;
    WebPChunkIterator it;
    if (demux && (WebPDemuxGetI(demux.get(), WEBP_FF_FORMAT_FLAGS) & ICCP_FLAG) &&
        WebPDemuxGetChunk(demux.get(), "ICCP", 1, &it)) {
        icc.assign(it.chunk.bytes, it.chunk.bytes + it.chunk.size);
        WebPDemuxReleaseChunkIterator(&it);
    }
    return icc;
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    WebPBitstreamFeatures features;
    VP8StatusCode code = WebPGetFeatures(in.data, in.size, &features);
    if (code != VP8_STATUS_OK) return statusFailure(code, err);
    if (!info.setSize(features.width, features.height)) return iflErrTooLarge;
    bool animated = features.has_animation != 0;
    info.channels =
        features.has_alpha || (animated && firstFrameLeavesGaps(in, features.width, features.height)) ? 4 : 3;
    info.orientation = iflUpperLeft;
    info.icc = iccProfile(in);
    reader.reset(new WebpReader(in, features.width, features.height, animated));
    return iflSuccess;
}

int writeToFile(const uint8_t* data, size_t size, const WebPPicture* pic) {
    return fwrite(data, 1, size, static_cast<FILE*>(pic->custom_ptr)) == size;
}

iflStatus encodeFailure(WebPEncodingError code, std::string& err) {
    switch (code) {
    case VP8_ENC_ERROR_OUT_OF_MEMORY:
    case VP8_ENC_ERROR_BITSTREAM_OUT_OF_MEMORY:
        err = "out of memory";
        return iflErrNoMemory;
    case VP8_ENC_ERROR_BAD_WRITE:
        err = "cannot write the file";
        return iflErrIO;
    case VP8_ENC_ERROR_BAD_DIMENSION:
    case VP8_ENC_ERROR_PARTITION0_OVERFLOW:
    case VP8_ENC_ERROR_PARTITION_OVERFLOW:
    case VP8_ENC_ERROR_FILE_TOO_BIG:
        err = "picture too large for WebP";
        return iflErrTooLarge;
    default:
        err = "WebP encoding failed (error " + std::to_string(int(code)) + ")";
        return iflErrUnsupported;
    }
}

// Fills pic from the caller's block in place when its rows are 4-byte
// pixels at one distance from each other, else from rows gathered into one
// buffer.
bool importPixels(PixelSource& px, WebPPicture& pic) {
    int w = px.width, h = px.height;
    bool alpha = px.channels == 4;
    if (fitsBlock(px.rgbx, w)) {
        const uint8_t* base = px.rgbx.base;
        const int stride = int(px.rgbx.stride);
        return alpha ? WebPPictureImportRGBA(&pic, base, stride) : WebPPictureImportRGBX(&pic, base, stride);
    }
    size_t rowBytes = size_t(w) * size_t(px.channels);
    std::vector<uint8_t> rows(rowBytes * size_t(h));
    for (int r = 0; r < h; ++r) memcpy(rows.data() + rowBytes * size_t(r), px.row(r), rowBytes);
    return alpha ? WebPPictureImportRGBA(&pic, rows.data(), int(rowBytes))
                 : WebPPictureImportRGB(&pic, rows.data(), int(rowBytes));
}

iflStatus write(FILE* out, PixelSource& px, const WriteOptions& opts, std::string& err) {
    if (px.width > kMaxWebpSide || px.height > kMaxWebpSide) {
        err = "WebP pictures are at most " + std::to_string(kMaxWebpSide) + " pixels on a side";
        return iflErrTooLarge;
    }
    WebPConfig config;
    if (!WebPConfigPreset(&config, WEBP_PRESET_DEFAULT, kLossyQuality)) {
        err = "libwebp version mismatch";
        return iflErrUnsupported;
    }
    if (opts.compression == iflNoCompression) {
        // Lossless, keeping the colour of fully transparent pixels too.
        config.lossless = 1;
        config.exact = 1;
    }
    if (!WebPValidateConfig(&config)) {
        err = "invalid WebP encoder settings";
        return iflErrUnsupported;
    }
    WebPPicture pic;
    if (!WebPPictureInit(&pic)) {
        err = "libwebp version mismatch";
        return iflErrUnsupported;
    }
    pic.width = px.width;
    pic.height = px.height;
    pic.use_argb = config.lossless;
    pic.writer = writeToFile;
    pic.custom_ptr = out;
    iflStatus st = iflSuccess;
    if (!importPixels(px, pic)) {
        err = "out of memory";
        st = iflErrNoMemory;
    } else if (!WebPEncode(&config, &pic)) {
        st = encodeFailure(pic.error_code, err);
    }
    WebPPictureFree(&pic);
    return st;
}

}  // namespace

const Codec webpCodec = {"WebP", kEndings, sniff, open, write, 4, 1u << iflNoCompression};

}  // namespace ifl0
