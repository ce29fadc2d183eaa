// HEIF (HEVC) and AVIF (AV1) through libheif, which is opened on first use:
// a run that converts other formats never maps it or its codecs (libde265,
// x265, dav1d, aom).
//
// Reading: the primary image as libheif decodes it, grids assembled and the
// item transformations (rotation, mirror, clean-aperture crop) applied once,
// in their order; an EXIF orientation stored beside them is not applied.
// Alpha comes from the auxiliary alpha image; 10- and 12-bit samples are
// rounded to the nearest 8-bit value here; an ICC profile or an nclx colour
// description goes to the core's colour step.
//
// Writing: 8-bit 4:2:0. HEVC at libheif's quality 50 with x265's
// "ultrafast" preset, AV1 at quality 72 with aom's speed 6, on all cores:
// for a 20 MP photograph, about 41 and 40 dB PSNR against its quality 90
// JPEG in under half its size, in about 2 s each on two cores. Slower
// presets cost seconds for files a few per cent smaller at the same PSNR.
#include "heifbox.h"
#include "stills.h"
#include "codec.h"

#include <libheif/heif.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace ifl0 {
namespace {

#define IFL0_HEIF_CALLS(X)                                                                                    \
    X(heif_init) X(heif_context_alloc) X(heif_context_free) X(heif_context_read_from_memory_without_copy)      \
    X(heif_context_set_maximum_image_size_limit) X(heif_context_get_primary_image_handle)                     \
    X(heif_image_handle_release) X(heif_image_handle_get_width) X(heif_image_handle_get_height)               \
    X(heif_image_handle_get_ispe_width) X(heif_image_handle_get_ispe_height)                                  \
    X(heif_image_handle_has_alpha_channel) X(heif_image_handle_get_luma_bits_per_pixel)                       \
    X(heif_image_handle_get_color_profile_type) X(heif_image_handle_get_raw_color_profile_size)               \
    X(heif_image_handle_get_raw_color_profile) X(heif_image_handle_get_nclx_color_profile)                    \
    X(heif_nclx_color_profile_free) X(heif_decoding_options_alloc) X(heif_decoding_options_free)              \
    X(heif_decode_image) X(heif_image_get_plane_readonly) X(heif_image_get_width) X(heif_image_get_height)    \
    X(heif_image_get_bits_per_pixel_range) X(heif_image_release) X(heif_context_get_encoder_for_format)        \
    X(heif_encoder_set_lossy_quality) X(heif_encoder_set_parameter) X(heif_encoder_release)                   \
    X(heif_image_create) X(heif_image_add_plane) X(heif_image_get_plane) X(heif_encoding_options_alloc)        \
    X(heif_encoding_options_free) X(heif_context_encode_image) X(heif_context_write)

struct Api {
    IFL0_HEIF_CALLS(IFL0_CALL_POINTER)
};

// libheif's calls, bound the first time a HEIF or AVIF file is read or
// written; null with err set when libheif cannot be loaded.
const Api* api(std::string& err) {
    static std::string failure;
    static const Api* const calls = []() -> const Api* {
        static const char* const kNames[] = {"libheif.so.1", nullptr};
        const char* const label = "libheif";
        void* library = openLibrary(label, kNames, failure);
        if (!library) return nullptr;
        static Api bound;
        IFL0_HEIF_CALLS(IFL0_BIND_CALL)
        bound.heif_init(nullptr);
        return &bound;
    }();
    if (!calls) err = failure;
    return calls;
}


// True when the file starts with an ftyp box whose major or compatible
// brands include one of brands.
bool hasBrand(const uint8_t* p, size_t n, std::initializer_list<const char*> brands) {
    if (n < 16 || memcmp(p + 4, "ftyp", 4) != 0) return false;
    const size_t box = std::min<size_t>(be32(p), n);
    auto listed = [&](const uint8_t* b) {
        for (const char* brand : brands)
            if (memcmp(b, brand, 4) == 0) return true;
        return false;
    };
    if (listed(p + 8)) return true;
    for (size_t at = 16; at + 4 <= box; at += 4)
        if (listed(p + at)) return true;
    return false;
}

bool sniffAvif(const uint8_t* p, size_t n) { return hasBrand(p, n, {"avif", "avis"}); }

bool sniffHeif(const uint8_t* p, size_t n) {
    return !sniffAvif(p, n) &&
           hasBrand(p, n, {"heic", "heix", "hevc", "hevx", "heim", "heis", "hevm", "hevs", "mif1", "msf1"});
}

iflStatus failed(const heif_error& e, std::string& err) {
    err = e.message && *e.message ? e.message : "libheif error " + std::to_string(int(e.code));
    switch (e.code) {
    case heif_error_Memory_allocation_error:
        return e.subcode == heif_suberror_Security_limit_exceeded ? iflErrTooLarge : iflErrNoMemory;
    case heif_error_Unsupported_feature:
    case heif_error_Unsupported_filetype:
    case heif_error_Encoder_plugin_error:
        return iflErrUnsupported;
    default:
        return iflErrCorrupt;
    }
}

// A context over a file's bytes and its primary image.
struct Context {
    const Api* api = nullptr;
    heif_context* ctx = nullptr;
    heif_image_handle* primary = nullptr;
    Direct direct;  // how to decode the picture without libheif, if at all

    Context() = default;
    Context(const Context&) = delete;
    Context& operator=(const Context&) = delete;
    ~Context() {
        if (primary) api->heif_image_handle_release(primary);
        if (ctx) api->heif_context_free(ctx);
    }
};

class HeifReader final : public Reader {
public:
    explicit HeifReader(std::unique_ptr<Context> c) : c_(std::move(c)) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        const Api& a = *c_->api;
        const Direct& d = c_->direct;
        iflStatus st;
        if (d.kind == Direct::av1) {
            const Direct::Tile& t = d.tiles[0];
            std::vector<uint8_t> obus(t.configSize + t.data.size());
            if (t.configSize) memcpy(obus.data(), t.config, t.configSize);
            t.data.copy(0, obus.data() + t.configSize, t.data.size());
            if (decodeAv1Still(obus, d.width, d.height, t.nclx.get(), sink, st, err)) return st;
        }
        if (d.kind == Direct::hevc && sink.block) {
            auto tile = [&](size_t i) {
                const Direct::Tile& t = d.tiles[i];
                HevcTile out{hevcNals(t.config, t.configSize), t.nclx.get()};
                const size_t at = out.nals.size();
                out.nals.resize(at + t.data.size());
                t.data.copy(0, out.nals.data() + at, t.data.size());
                return out;
            };
            if (decodeHevcStill(d.tiles.size(), tile, d.columns, d.tileWidth, d.tileHeight, d.width, d.height, sink,
                                st, err))
                return st;
        }
        heif_decoding_options* options = a.heif_decoding_options_alloc();
        if (!options) {
            err = "out of memory";
            return iflErrNoMemory;
        }
        options->convert_hdr_to_8bit = 0;  // rounded below instead of cut
        options->strict_decoding = 1;      // damage fails, as in every other format
        heif_image* img = nullptr;
        heif_error e;
        {
            // Planar RGB at the file's depth: libheif converts from YCbCr to
            // it in any case, and interleaving it is done here, once, on two
            // threads, straight into the sink's rows.
            SilencedStderr quiet;
            e = a.heif_decode_image(c_->primary, &img, heif_colorspace_RGB, heif_chroma_444, options);
        }
        a.heif_decoding_options_free(options);
        if (e.code != heif_error_Ok) {
            if (img) a.heif_image_release(img);
            return failed(e, err);
        }
        st = deliver(a, img, sink, err);
        a.heif_image_release(img);
        return st;
    }

private:
    // One decoded plane: 8-bit samples, or 16-bit ones up to max.
    struct Plane {
        const uint8_t* base = nullptr;
        size_t stride = 0;
        unsigned max = 255;
        bool wide = false;
    };

    // Interleaves rows [from, to) of the planes into RGBA; other depths than
    // 8 bits are rounded to the nearest 8-bit value, and no alpha plane
    // means 255.
    static void interleave(const Plane (&planes)[4], int w, int from, int to, RowSink& sink) {
        auto plain = [](const Plane& pl) { return !pl.wide && pl.max == 255; };
        const bool bytes = plain(planes[0]) && plain(planes[1]) && plain(planes[2]) && (!planes[3].base || plain(planes[3]));
        for (int r = from; r < to; ++r) {
            uint8_t* o = sink.row(r);
            if (bytes) {  // the common case, in one pass
                const uint8_t *R = planes[0].base + size_t(r) * planes[0].stride,
                              *G = planes[1].base + size_t(r) * planes[1].stride,
                              *B = planes[2].base + size_t(r) * planes[2].stride;
                const uint8_t* A = planes[3].base ? planes[3].base + size_t(r) * planes[3].stride : nullptr;
                for (int x = 0; x < w; ++x, o += 4) o[0] = R[x], o[1] = G[x], o[2] = B[x], o[3] = A ? A[x] : 255;
                sink.done(r);
                continue;
            }
            for (int k = 0; k < 4; ++k) {
                const Plane& pl = planes[k];
                uint8_t* d = o + k;
                if (!pl.base) {
                    for (int x = 0; x < w; ++x, d += 4) *d = 255;
                    continue;
                }
                const uint8_t* s = pl.base + size_t(r) * pl.stride;
                for (int x = 0; x < w; ++x, d += 4) {
                    const unsigned v = std::min<unsigned>(pl.wide ? reinterpret_cast<const uint16_t*>(s)[x] : s[x], pl.max);
                    *d = uint8_t((v * 255 + pl.max / 2) / pl.max);
                }
            }
            sink.done(r);
        }
    }

    iflStatus deliver(const Api& a, const heif_image* img, RowSink& sink, std::string& err) {
        const int w = a.heif_image_handle_get_width(c_->primary), h = a.heif_image_handle_get_height(c_->primary);
        static const heif_channel kChannels[4] = {heif_channel_R, heif_channel_G, heif_channel_B, heif_channel_Alpha};
        Plane planes[4];
        for (int k = 0; k < 4; ++k) {
            int stride = 0;
            const uint8_t* p = a.heif_image_get_plane_readonly(img, kChannels[k], &stride);
            if (!p && k == 3) break;
            const int gotW = a.heif_image_get_width(img, kChannels[k]), gotH = a.heif_image_get_height(img, kChannels[k]);
            if (!p || gotW != w || gotH != h) {
                err = "the decoded picture is " + std::to_string(gotW) + " by " + std::to_string(gotH) +
                      ", its header says " + std::to_string(w) + " by " + std::to_string(h);
                return iflErrCorrupt;
            }
            const int bits = std::min(16, std::max(1, a.heif_image_get_bits_per_pixel_range(img, kChannels[k])));
            planes[k] = {p, size_t(stride), (1u << bits) - 1, bits > 8};
        }
        if (sink.block && int64_t(w) * h >= kMinParallelPixels)
            inParallel([&] { interleave(planes, w, 0, h / 2, sink); }, [&] { interleave(planes, w, h / 2, h, sink); });
        else
            interleave(planes, w, 0, h, sink);
        return iflSuccess;
    }

    std::unique_ptr<Context> c_;
};

// The colour description: the ICC profile, or a profile made from the nclx
// primaries and transfer (empty when they are sRGB's).
std::vector<uint8_t> colourOf(const Api& a, const heif_image_handle* h) {
    std::vector<uint8_t> icc;
    // Codes that come from the file are read as plain numbers: a damaged
    // one need not be a value of libheif's enumeration.
    const uint32_t type = uint32_t(a.heif_image_handle_get_color_profile_type(h));
    if (type == heif_color_profile_type_prof || type == heif_color_profile_type_rICC) {
        icc.resize(a.heif_image_handle_get_raw_color_profile_size(h));
        if (icc.empty() || a.heif_image_handle_get_raw_color_profile(h, icc.data()).code != heif_error_Ok) icc.clear();
        return icc;
    }
    heif_color_profile_nclx* nclx = nullptr;
    if (a.heif_image_handle_get_nclx_color_profile(h, &nclx).code != heif_error_Ok || !nclx) return icc;
    const double xy[8] = {nclx->color_primary_red_x,   nclx->color_primary_red_y,   nclx->color_primary_green_x,
                          nclx->color_primary_green_y, nclx->color_primary_blue_x,  nclx->color_primary_blue_y,
                          nclx->color_primary_white_x, nclx->color_primary_white_y};
    int transferCode = 0;
    static_assert(sizeof transferCode == sizeof nclx->transfer_characteristics, "a transfer code is an int");
    memcpy(&transferCode, &nclx->transfer_characteristics, sizeof transferCode);
    const Transfer transfer = transferOfCicp(transferCode);
    a.heif_nclx_color_profile_free(nclx);
    return profileOfPrimaries(xy, transfer);
}

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    const Api* a = api(err);
    if (!a) return iflErrUnsupported;
    auto c = std::make_unique<Context>();
    c->api = a;
    c->ctx = a->heif_context_alloc();
    if (!c->ctx) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    // libheif refuses sides from 32768 on, as the picture model does.
    a->heif_context_set_maximum_image_size_limit(c->ctx, kMaxSide + 1);
    heif_error e;
    {
        SilencedStderr quiet;
        e = a->heif_context_read_from_memory_without_copy(c->ctx, in.data, in.size, nullptr);
        if (e.code == heif_error_Ok) e = a->heif_context_get_primary_image_handle(c->ctx, &c->primary);
    }
    if (e.code != heif_error_Ok) {
        iflStatus st = failed(e, err);
        if (st == iflErrTooLarge) {
            const Size item = readDeclared(in).item;
            if (item.width && item.height && !info.setSize(item.width, item.height)) return iflErrTooLarge;
        }
        return st == iflErrTooLarge ? iflErrCorrupt : st;
    }
    const heif_image_handle* h = c->primary;
    // What the decoders allocate, then the primary image's stored size and
    // the size shown.
    Declared declared = readDeclared(in);
    for (const Size& s : {declared.item, declared.canvas, declared.coded})
        if (s.width && s.height && !info.setSize(s.width, s.height)) return iflErrTooLarge;
    if (!info.setSize(a->heif_image_handle_get_ispe_width(h), a->heif_image_handle_get_ispe_height(h)) ||
        !info.setSize(a->heif_image_handle_get_width(h), a->heif_image_handle_get_height(h)))
        return iflErrTooLarge;
    if (!declared.uncovered.empty()) {
        err = declared.uncovered;
        return iflErrCorrupt;
    }
    info.channels = a->heif_image_handle_has_alpha_channel(h) ? 4 : 3;
    info.orientation = iflUpperLeft;
    info.icc = colourOf(*a, h);
    if (declared.metaBoxes == 1 && info.channels == 3 && a->heif_image_handle_get_luma_bits_per_pixel(h) == 8 &&
        declared.direct.width == a->heif_image_handle_get_width(h) &&
        declared.direct.height == a->heif_image_handle_get_height(h))
        c->direct = std::move(declared.direct);
    reader = std::make_unique<HeifReader>(std::move(c));
    return iflSuccess;
}

heif_error written(heif_context*, const void* data, size_t size, void* out) {
    if (fwrite(data, 1, size, static_cast<FILE*>(out)) == size) return {heif_error_Ok, heif_suberror_Unspecified, ""};
    return {heif_error_Encoding_error, heif_suberror_Cannot_write_output_data, "cannot write the file"};
}

struct EncoderSettings {
    int quality;
    const char* parameter;  // the speed parameter and its value
    const char* value;
};
constexpr EncoderSettings kHevc = {50, "preset", "ultrafast"};
constexpr EncoderSettings kAv1 = {72, "speed", "6"};

iflStatus encode(FILE* out, PixelSource& px, heif_compression_format format, std::string& err) {
    const Api* a = api(err);
    if (!a) return iflErrUnsupported;
    Context c;
    c.api = a;
    c.ctx = a->heif_context_alloc();
    if (!c.ctx) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    heif_encoder* encoder = nullptr;
    heif_error e = a->heif_context_get_encoder_for_format(c.ctx, format, &encoder);
    if (e.code != heif_error_Ok) return failed(e, err);
    std::unique_ptr<heif_encoder, void (*)(heif_encoder*)> releaseEncoder(encoder, a->heif_encoder_release);
    const EncoderSettings& settings = format == heif_compression_HEVC ? kHevc : kAv1;
    a->heif_encoder_set_lossy_quality(encoder, settings.quality);
    a->heif_encoder_set_parameter(encoder, "chroma", "420");
    a->heif_encoder_set_parameter(encoder, settings.parameter, settings.value);
    if (format == heif_compression_AV1)  // x265 takes every core by itself
        a->heif_encoder_set_parameter(encoder, "threads", std::to_string(threadCount()).c_str());

    const bool alpha = px.channels == 4;
    heif_image* img = nullptr;
    e = a->heif_image_create(px.width, px.height, heif_colorspace_RGB,
                             alpha ? heif_chroma_interleaved_RGBA : heif_chroma_interleaved_RGB, &img);
    if (e.code != heif_error_Ok) return failed(e, err);
    std::unique_ptr<heif_image, void (*)(const heif_image*)> releaseImage(img, a->heif_image_release);
    e = a->heif_image_add_plane(img, heif_channel_interleaved, px.width, px.height, 8);
    if (e.code != heif_error_Ok) return failed(e, err);
    int stride = 0;
    uint8_t* plane = a->heif_image_get_plane(img, heif_channel_interleaved, &stride);
    const size_t rowBytes = size_t(px.width) * size_t(px.channels);
    for (int r = 0; r < px.height; ++r) {
        uint8_t* o = plane + size_t(r) * size_t(stride);
        if (!px.rgbx || alpha) {
            memcpy(o, px.rgbx ? px.rgbx.row(r) : px.row(r), rowBytes);
        } else {
            const uint8_t* s = px.rgbx.row(r);
            for (int x = 0; x < px.width; ++x, s += 4, o += 3) o[0] = s[0], o[1] = s[1], o[2] = s[2];
        }
    }
    heif_encoding_options* options = a->heif_encoding_options_alloc();
    if (!options) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    options->save_alpha_channel = alpha;
    {
        SilencedStderr quiet;  // x265 reports its settings there
        e = a->heif_context_encode_image(c.ctx, img, encoder, options, nullptr);
    }
    a->heif_encoding_options_free(options);
    if (e.code != heif_error_Ok) return failed(e, err);
    heif_writer writer = {1, written};
    e = a->heif_context_write(c.ctx, &writer, out);
    if (e.code != heif_error_Ok) {
        iflStatus st = failed(e, err);
        return e.subcode == heif_suberror_Cannot_write_output_data ? iflErrIO : st;
    }
    return iflSuccess;
}

iflStatus writeHeif(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    return encode(out, px, heif_compression_HEVC, err);
}

iflStatus writeAvif(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    return encode(out, px, heif_compression_AV1, err);
}

const char* const kHeifEndings[] = {"heic", "heif", nullptr};
const char* const kAvifEndings[] = {"avif", nullptr};

}  // namespace

const Codec heifCodec = {"HEIF", kHeifEndings, sniffHeif, open, writeHeif, 4, 0};
const Codec avifCodec = {"AVIF", kAvifEndings, sniffAvif, open, writeAvif, 4, 0};

}  // namespace ifl0
