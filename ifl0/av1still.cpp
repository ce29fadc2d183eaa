// AV1 still pictures through dav1d, opened on first use like libheif.
#include "stills.h"

#include <dav1d/dav1d.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstring>

namespace ifl0 {
namespace {

#define IFL0_DAV1D_CALLS(X)                                                                              \
    X(dav1d_default_settings) X(dav1d_open) X(dav1d_close) X(dav1d_data_create) X(dav1d_data_unref)        \
    X(dav1d_send_data) X(dav1d_get_picture) X(dav1d_picture_unref)

struct Api {
    IFL0_DAV1D_CALLS(IFL0_CALL_POINTER)
};

// dav1d's calls, or null when it cannot be loaded.
const Api* api() {
    static const Api* const calls = []() -> const Api* {
        static const char* const kNames[] = {"libdav1d.so.6", nullptr};
        std::string failure;
        const char* const label = "dav1d";
        void* library = openLibrary(label, kNames, failure);
        if (!library) return nullptr;
        static Api bound;
        IFL0_DAV1D_CALLS(IFL0_BIND_CALL)
        return &bound;
    }();
    return calls;
}

// Converts rows [from, to) of an 8-bit picture to RGBA rows of sink.
void convert(const Dav1dPicture& pic, const YcbcrToRgba& convert, int from, int to, RowSink& sink) {
    const YcbcrPlanes planes = {static_cast<const uint8_t*>(pic.data[0]),
                                static_cast<const uint8_t*>(pic.data[1]),
                                static_cast<const uint8_t*>(pic.data[2]),
                                pic.stride[0],
                                pic.stride[1],
                                pic.p.layout == DAV1D_PIXEL_LAYOUT_I444 ? 0 : 1,
                                pic.p.layout == DAV1D_PIXEL_LAYOUT_I420 ? 1 : 0};
    for (int r = from; r < to; ++r) {
        convert.row(planes, r, pic.p.w, sink.row(r));
        sink.done(r);
    }
}

void quiet(void*, const char*, va_list) {}

// A decoder and what it holds, released in any case.
struct Decoder {
    const Api& a;
    Dav1dContext* ctx = nullptr;
    Dav1dData data{};
    Dav1dPicture pic{};
    bool havePicture = false;
    explicit Decoder(const Api& api) : a(api) {}
    Decoder(const Decoder&) = delete;
    Decoder& operator=(const Decoder&) = delete;
    ~Decoder() {
        if (havePicture) a.dav1d_picture_unref(&pic);
        if (data.ref) a.dav1d_data_unref(&data);
        if (ctx) a.dav1d_close(&ctx);
    }
};

std::string reason(int code) { return "AV1 decoding failed: " + std::string(strerror(-code)); }

}  // namespace

bool decodeAv1Still(const std::vector<uint8_t>& obus, int width, int height, const Ycbcr* nclx, RowSink& sink,
                    iflStatus& status, std::string& err) {
    const Api* a = api();
    if (!a) return false;
    Decoder d(*a);
    Dav1dSettings settings;
    a->dav1d_default_settings(&settings);
    settings.n_threads = threadCount();
    settings.max_frame_delay = 1;  // one picture: no frames in flight
    settings.all_layers = 0;
    settings.frame_size_limit = unsigned(std::min<int64_t>(maxPixels, kMaxBlockBytes / 4));
    settings.logger.callback = quiet;
    int res = a->dav1d_open(&d.ctx, &settings);
    if (res < 0) {
        status = iflErrNoMemory, err = reason(res);
        return true;
    }
    uint8_t* buffer = a->dav1d_data_create(&d.data, obus.size());
    if (!buffer) {
        status = iflErrNoMemory, err = "out of memory";
        return true;
    }
    memcpy(buffer, obus.data(), obus.size());
    // Data goes in until dav1d has taken all of it; the picture comes out
    // once it is decoded.
    while (!d.havePicture) {
        if (d.data.sz > 0) {
            res = a->dav1d_send_data(d.ctx, &d.data);
            if (res < 0 && res != DAV1D_ERR(EAGAIN)) break;
        }
        res = a->dav1d_get_picture(d.ctx, &d.pic);
        if (res == 0) d.havePicture = true;
        else if (res != DAV1D_ERR(EAGAIN) || d.data.sz == 0) break;
    }
    if (!d.havePicture) {
        status = iflErrCorrupt, err = res < 0 && res != DAV1D_ERR(EAGAIN) ? reason(res) : "no picture in the AV1 data";
        return true;
    }
    const Dav1dPicture& pic = d.pic;
    const YcbcrToRgba toRgba(nclx ? *nclx : Ycbcr{int(pic.seq_hdr->mtrx), pic.seq_hdr->color_range != 0});
    if (pic.p.bpc != 8 || pic.p.layout == DAV1D_PIXEL_LAYOUT_I400 || !toRgba.converts()) return false;
    if (pic.p.w != width || pic.p.h != height) {
        status = iflErrCorrupt;
        err = "the decoded picture is " + std::to_string(pic.p.w) + " by " + std::to_string(pic.p.h) +
              ", its header says " + std::to_string(width) + " by " + std::to_string(height);
        return true;
    }
    if (sink.block && int64_t(width) * height >= kMinParallelPixels)
        inParallel([&] { convert(pic, toRgba, 0, height / 2, sink); },
                   [&] { convert(pic, toRgba, height / 2, height, sink); });
    else
        convert(pic, toRgba, 0, height, sink);
    status = iflSuccess;
    return true;
}

}  // namespace ifl0
