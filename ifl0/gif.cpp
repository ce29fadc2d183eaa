// GIF reading through giflib: the first frame of the file, composed on the
// logical screen. Pixels the frame does not cover, and pixels of the frame's
// transparent colour index, are transparent. GIF files are not written.
#include "codec.h"

#include <gif_lib.h>

#include <algorithm>
#include <cstring>
#include <vector>

namespace ifl0 {
namespace {

const char* const kEndings[] = {"gif", nullptr};

// Records and extension sub-blocks walked before the first image. Every one
// consumes input, so the data bounds the walk too; this cap keeps a huge
// hostile file from spinning through millions of empty extensions.
constexpr long kMaxBlocks = 1L << 20;

bool sniff(const uint8_t* p, size_t n) {
    return n >= 6 && (memcmp(p, "GIF87a", 6) == 0 || memcmp(p, "GIF89a", 6) == 0);
}

struct Cursor {
    Bytes in;
    size_t pos = 0;
};

// Hands giflib the next bytes; fewer than asked at the end, which giflib
// reports as a read error.
int readBytes(GifFileType* gif, GifByteType* buf, int n) {
    Cursor* c = static_cast<Cursor*>(gif->UserData);
    if (n <= 0) return 0;
    size_t left = c->in.size - c->pos;
    size_t k = std::min(left, size_t(n));
    if (k) memcpy(buf, c->in.data + c->pos, k);
    c->pos += k;
    return int(k);
}

struct GifCloser {
    void operator()(GifFileType* gif) const {
        int err = 0;
        DGifCloseFile(gif, &err);
    }
};
using GifPtr = std::unique_ptr<GifFileType, GifCloser>;

iflStatus gifFailure(int code, const char* what, std::string& err) {
    const char* why = GifErrorString(code);
    err = what;
    if (why) err += std::string(" (") + why + ")";
    if (code == D_GIF_ERR_NOT_ENOUGH_MEM) return iflErrNoMemory;
    return iflErrCorrupt;
}

// The first frame and where it lands: the screen is width x height, the
// frame's stored rows are frameW x frameH at (left, top), of which the
// columns [x0, x1) and rows [y0, y1) of the screen are visible.
struct Frame {
    int width = 0, height = 0;
    int left = 0, top = 0, frameW = 0, frameH = 0;
    int x0 = 0, x1 = 0, y0 = 0, y1 = 0;
    int transparent = NO_TRANSPARENT_COLOR;
    bool interlaced = false;
    bool covers() const { return x0 == 0 && y0 == 0 && x1 == width && y1 == height; }
};

// The most pixels n bytes of LZW data can expand to. Every code takes at
// least one bit; the k-th code after a clear stands for at most k pixels,
// and no code for more than the 4096 entries of the table.
int64_t maxLzwPixels(size_t n) {
    const int64_t codes = int64_t(std::min<size_t>(n, size_t(1) << 40)) * 8;
    const int64_t ramp = std::min<int64_t>(codes, 4096);
    return ramp * (ramp + 1) / 2 + (codes - ramp) * 4096;
}

// Opens the data and walks the records up to the first image descriptor,
// keeping the transparent index of the Graphic Control Extension that
// belongs to it. The screen's size goes to info.
iflStatus openFirstFrame(Cursor& cursor, GifPtr& gif, Frame& f, Info& info, std::string& err) {
    int code = 0;
    gif.reset(DGifOpen(&cursor, readBytes, &code));
    if (!gif) return gifFailure(code, "cannot read the GIF header", err);
    int transparent = NO_TRANSPARENT_COLOR;
    for (long blocks = 0;; ++blocks) {
        if (blocks > kMaxBlocks) {
            err = "too many blocks before the first image";
            return iflErrCorrupt;
        }
        GifRecordType type;
        if (DGifGetRecordType(gif.get(), &type) == GIF_ERROR)
            return gifFailure(gif->Error, "corrupt or truncated GIF data", err);
        if (type == TERMINATE_RECORD_TYPE) {
            err = "the file holds no image";
            return iflErrCorrupt;
        }
        if (type == IMAGE_DESC_RECORD_TYPE) break;
        if (type != EXTENSION_RECORD_TYPE) {
            err = "unknown GIF record";
            return iflErrCorrupt;
        }
        int extCode = 0;
        GifByteType* ext = nullptr;
        if (DGifGetExtension(gif.get(), &extCode, &ext) == GIF_ERROR)
            return gifFailure(gif->Error, "corrupt or truncated GIF extension", err);
        if (extCode == GRAPHICS_EXT_FUNC_CODE && ext) {
            GraphicsControlBlock gcb;
            // A malformed control block is ignored: the frame is then opaque.
            transparent = DGifExtensionToGCB(ext[0], ext + 1, &gcb) == GIF_OK ? gcb.TransparentColor
                                                                            : NO_TRANSPARENT_COLOR;
        } else if (extCode == PLAINTEXT_EXT_FUNC_CODE) {
            transparent = NO_TRANSPARENT_COLOR;  // that control block was the text's
        }
        while (ext) {
            if (++blocks > kMaxBlocks) {
                err = "too many blocks before the first image";
                return iflErrCorrupt;
            }
            if (DGifGetExtensionNext(gif.get(), &ext) == GIF_ERROR)
                return gifFailure(gif->Error, "corrupt or truncated GIF extension", err);
        }
    }
    if (DGifGetImageDesc(gif.get()) == GIF_ERROR)
        return gifFailure(gif->Error, "corrupt or truncated GIF image descriptor", err);

    const GifImageDesc& d = gif->Image;
    if (d.Width <= 0 || d.Height <= 0) {
        err = "the first frame has no pixels";
        return iflErrCorrupt;
    }
    f.left = d.Left, f.top = d.Top, f.frameW = d.Width, f.frameH = d.Height;
    f.interlaced = d.Interlace;
    f.transparent = transparent;
    // A screen smaller than its frame (or 0, as some writers leave it) grows
    // to show the whole frame at its offset.
    f.width = gif->SWidth, f.height = gif->SHeight;
    if (f.width < f.frameW) f.width = f.left + f.frameW;
    if (f.height < f.frameH) f.height = f.top + f.frameH;
    if (!info.setSize(f.width, f.height)) return iflErrTooLarge;
    // Refuse a frame the remaining bytes cannot hold, before anything the
    // size of the screen is written.
    if (int64_t(f.frameW) * f.frameH > maxLzwPixels(cursor.in.size - cursor.pos)) {
        err = "too little image data for a frame of " + std::to_string(f.frameW) + " by " +
              std::to_string(f.frameH);
        return iflErrCorrupt;
    }
    f.x0 = std::min(f.left, f.width), f.x1 = std::min(f.left + f.frameW, f.width);
    f.y0 = std::min(f.top, f.height), f.y1 = std::min(f.top + f.frameH, f.height);
    return iflSuccess;
}

// Writes screen row y: transparent outside the frame, the frame's colours
// inside. line holds the frame's indices for that row, or is null for a row
// the frame does not reach.
void composeRow(const Frame& f, const ColorMapObject* map, const uint8_t* line, uint8_t* out) {
    memset(out, 0, size_t(f.width) * 4);
    if (!line) return;
    int count = map ? map->ColorCount : 0;
    uint8_t* p = out + size_t(f.x0) * 4;
    for (int x = f.x0; x < f.x1; ++x, p += 4) {
        int i = line[x - f.left];
        if (i == f.transparent) continue;
        if (i < count) {
            const GifColorType& c = map->Colors[i];
            p[0] = c.Red, p[1] = c.Green, p[2] = c.Blue;
        } else {
            p[0] = p[1] = p[2] = 0;  // beyond the colour map: black
        }
        p[3] = 255;
    }
}

class GifReader final : public Reader {
public:
    explicit GifReader(Bytes in) : in_(in) {}

    iflStatus decode(RowSink& sink, std::string& err) override {
        Cursor cursor{in_, 0};
        GifPtr gif;
        Frame f;
        Info info;
        iflStatus st = openFirstFrame(cursor, gif, f, info, err);
        if (st != iflSuccess) return st;
        const ColorMapObject* map = gif->Image.ColorMap ? gif->Image.ColorMap : gif->SColorMap;
        std::vector<uint8_t> line(size_t(f.frameW));

        if (!f.interlaced) {
            // Stored rows arrive top to bottom: each screen row is done as
            // soon as its frame row is read.
            for (int y = 0; y < f.y0; ++y) {
                composeRow(f, map, nullptr, sink.row(y));
                sink.done(y);
            }
            for (int fy = 0; fy < f.frameH; ++fy) {
                if (DGifGetLine(gif.get(), line.data(), f.frameW) == GIF_ERROR)
                    return gifFailure(gif->Error, "corrupt or truncated GIF image data", err);
                int y = f.top + fy;
                if (y >= f.y1) continue;
                composeRow(f, map, line.data(), sink.row(y));
                sink.done(y);
            }
            for (int y = f.y1; y < f.height; ++y) {
                composeRow(f, map, nullptr, sink.row(y));
                sink.done(y);
            }
            return iflSuccess;
        }

        // Interlaced: four passes over the rows. The rows are complete only
        // after the last pass, so they are written where they stay (the
        // sink's own rows, or one picture buffer) and handed over at the end.
        bool direct = bool(sink.block);
        std::vector<uint8_t> picture;
        size_t rowBytes = size_t(f.width) * 4;
        if (!direct) picture.resize(rowBytes * size_t(f.height));
        auto rowAt = [&](int y) { return direct ? sink.row(y) : picture.data() + rowBytes * size_t(y); };
        for (int y = 0; y < f.height; ++y)
            if (y < f.y0 || y >= f.y1) composeRow(f, map, nullptr, rowAt(y));
        static const int kStart[4] = {0, 4, 2, 1}, kStep[4] = {8, 8, 4, 2};
        for (int pass = 0; pass < 4; ++pass) {
            for (int fy = kStart[pass]; fy < f.frameH; fy += kStep[pass]) {
                if (DGifGetLine(gif.get(), line.data(), f.frameW) == GIF_ERROR)
                    return gifFailure(gif->Error, "corrupt or truncated GIF image data", err);
                int y = f.top + fy;
                if (y < f.y1) composeRow(f, map, line.data(), rowAt(y));
            }
        }
        for (int y = 0; y < f.height; ++y) {
            if (!direct) memcpy(sink.row(y), rowAt(y), rowBytes);
            sink.done(y);
        }
        return iflSuccess;
    }

private:
    Bytes in_;
};

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    Cursor cursor{in, 0};
    GifPtr gif;
    Frame f;
    iflStatus st = openFirstFrame(cursor, gif, f, info, err);
    if (st != iflSuccess) return st;
    info.channels = f.transparent != NO_TRANSPARENT_COLOR || !f.covers() ? 4 : 3;
    info.orientation = iflUpperLeft;
    reader.reset(new GifReader(in));
    return iflSuccess;
}

}  // namespace

const Codec gifCodec = {"GIF", kEndings, sniff, open, nullptr, 3, 0};

}  // namespace ifl0
