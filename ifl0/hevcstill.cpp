// HEVC still pictures and grids through libde265, opened on first use like
// libheif. A lone picture is decoded with a worker thread per core (x265
// writes its rows for wavefront decoding); the tiles of a grid are decoded
// two at a time.
#include "stills.h"

#include <libde265/de265.h>

#include <atomic>
#include <mutex>

namespace ifl0 {
namespace {

#define IFL0_DE265_CALLS(X)                                                                                 \
    X(de265_new_decoder) X(de265_start_worker_threads) X(de265_free_decoder) X(de265_push_NAL)              \
    X(de265_flush_data) X(de265_decode) X(de265_get_next_picture) X(de265_release_next_picture)             \
    X(de265_get_image_width) X(de265_get_image_height) X(de265_get_chroma_format) X(de265_get_bits_per_pixel) \
    X(de265_get_image_plane) X(de265_get_image_full_range_flag) X(de265_get_image_matrix_coefficients)

struct Api {
    IFL0_DE265_CALLS(IFL0_CALL_POINTER)
};

// libde265's calls, or null when it cannot be loaded.
const Api* api() {
    static const Api* const calls = []() -> const Api* {
        static const char* const kNames[] = {"libde265.so.0", nullptr};
        std::string failure;
        const char* const label = "libde265";
        void* library = openLibrary(label, kNames, failure);
        if (!library) return nullptr;
        static Api bound;
        IFL0_DE265_CALLS(IFL0_BIND_CALL)
        return &bound;
    }();
    return calls;
}

enum class Outcome { done, declined, failed };

// Where a tile goes: the block's rows from its top-left pixel, and how much
// of it lies inside the picture.
struct Place {
    uint8_t* topLeft;
    ptrdiff_t stride;
    int columns, rows;
};

Outcome decodeTile(const Api& a, const HevcTile& tile, int threads, int tileWidth, int tileHeight, const Place& to,
                   std::string& err) {
    de265_decoder_context* ctx = a.de265_new_decoder();
    if (!ctx) {
        err = "out of memory";
        return Outcome::failed;
    }
    struct Free {
        const Api& a;
        de265_decoder_context* ctx;
        ~Free() { a.de265_free_decoder(ctx); }
    } freeCtx{a, ctx};
    a.de265_start_worker_threads(ctx, threads);
    const std::vector<uint8_t>& n = tile.nals;
    for (size_t at = 0; at < n.size();) {
        const size_t length = n.size() - at >= 4 ? be32(&n[at]) : SIZE_MAX;
        if (length > n.size() - at - 4) {
            err = "the HEVC data ends inside a NAL unit";
            return Outcome::failed;
        }
        a.de265_push_NAL(ctx, &n[at + 4], int(length), 0, nullptr);
        at += 4 + length;
    }
    a.de265_flush_data(ctx);
    const de265_image* img = nullptr;
    for (int more = 1; more && !img;) {
        more = 0;
        if (a.de265_decode(ctx, &more) != DE265_OK) break;
        img = a.de265_get_next_picture(ctx);
    }
    if (!img) {
        err = "no picture in the HEVC data";
        return Outcome::failed;
    }
    struct Release {
        const Api& a;
        de265_decoder_context* ctx;
        ~Release() { a.de265_release_next_picture(ctx); }
    } release{a, ctx};
    const de265_chroma chroma = a.de265_get_chroma_format(img);
    if (chroma == de265_chroma_mono || a.de265_get_bits_per_pixel(img, 0) != 8 ||
        a.de265_get_bits_per_pixel(img, 1) != 8 || a.de265_get_bits_per_pixel(img, 2) != 8)
        return Outcome::declined;
    const YcbcrToRgba toRgba(tile.nclx ? *tile.nclx
                                       : Ycbcr{a.de265_get_image_matrix_coefficients(img),
                                               a.de265_get_image_full_range_flag(img) != 0});
    if (!toRgba.converts()) return Outcome::declined;
    const int w = a.de265_get_image_width(img, 0), h = a.de265_get_image_height(img, 0);
    if (w != tileWidth || h != tileHeight) {
        err = "the decoded picture is " + std::to_string(w) + " by " + std::to_string(h) + ", its header says " +
              std::to_string(tileWidth) + " by " + std::to_string(tileHeight);
        return Outcome::failed;
    }
    int yStride = 0, cStride = 0;
    YcbcrPlanes planes{};
    planes.y = a.de265_get_image_plane(img, 0, &yStride);
    planes.cb = a.de265_get_image_plane(img, 1, &cStride);
    planes.cr = a.de265_get_image_plane(img, 2, &cStride);
    planes.yStride = yStride, planes.cStride = cStride;
    planes.sx = chroma == de265_chroma_444 ? 0 : 1;
    planes.sy = chroma == de265_chroma_420 ? 1 : 0;
    for (int r = 0; r < to.rows; ++r) toRgba.row(planes, r, to.columns, to.topLeft + r * to.stride);
    return Outcome::done;
}

}  // namespace

bool decodeHevcStill(size_t count, const std::function<HevcTile(size_t)>& tile, int columns, int tileWidth,
                     int tileHeight, int width, int height, RowSink& sink, iflStatus& status, std::string& err) {
    const Api* a = api();
    if (!a || !sink.block || count == 0) return false;
    auto placeOf = [&](size_t i) {
        const int x0 = int(i % size_t(columns)) * tileWidth, y0 = int(i / size_t(columns)) * tileHeight;
        return Place{sink.block.row(y0) + ptrdiff_t(x0) * 4, sink.block.stride, std::min(tileWidth, width - x0),
                     std::min(tileHeight, height - y0)};
    };
    for (size_t i = 0; i < count; ++i)
        if (placeOf(i).columns <= 0 || placeOf(i).rows <= 0) {
            status = iflErrCorrupt, err = "a tile lies outside the picture";
            return true;
        }
    // Tiles are taken in turn by two workers; the first failure stops both
    // and is the one reported.
    std::atomic<size_t> next{0};
    std::mutex m;
    Outcome outcome = Outcome::done;
    auto work = [&](int threads) {
        for (size_t i; (i = next++) < count;) {
            std::string why;
            const Outcome o = decodeTile(*a, tile(i), threads, tileWidth, tileHeight, placeOf(i), why);
            if (o == Outcome::done) continue;
            std::lock_guard<std::mutex> lock(m);
            if (outcome == Outcome::done) outcome = o, err = why;
            next = count;
        }
    };
    if (count == 1)
        work(threadCount());
    else
        inParallel([&] { work(1); }, [&] { work(1); });
    if (outcome == Outcome::declined) return false;
    if (outcome == Outcome::failed) {
        status = iflErrCorrupt;
        return true;
    }
    for (int r = 0; r < height; ++r) sink.done(r);
    status = iflSuccess;
    return true;
}

}  // namespace ifl0
