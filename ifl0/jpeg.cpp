// JPEG over libjpeg-turbo. Reads baseline, progressive, greyscale, RGB, CMYK
// and YCCK files into RGBA rows, and takes the EXIF orientation; writes
// baseline YCbCr 4:2:0 at quality 90.
//
// libjpeg reports fatal errors through error_exit, which must not return:
// ours formats the message and longjmps back to the small C-shaped function
// that made the failing call. Those functions create no objects with
// destructors; the libjpeg objects live in structs owned by the reader or
// the writer's caller frame and are destroyed on every path.
#include "codec.h"

#include <algorithm>
#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include <jpeglib.h>
#include <jerror.h>

namespace ifl0 {

namespace {

const char* const kEndings[] = {"jpg", "jpeg", "jpe", nullptr};

// Working memory libjpeg may take for one picture beyond the rows
// themselves (chiefly a progressive file's coefficients): the same bound as
// the picture's own RGBA block. Without a backing store, libjpeg fails
// cleanly past it.
constexpr long kMaxDecoderMemory = 2147483647L;

// A progressive file may hold any number of scans, and each one costs a
// pass over the whole picture's coefficients: a small hostile file could
// keep the decoder busy for hours. Real encoders write at most a few dozen.
constexpr int kMaxScans = 1000;

// The error manager: libjpeg's, a jump target, and the message of the
// failure that jumped.
struct ErrorState {
    jpeg_error_mgr pub;
    jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
    int code;  // libjpeg's message code of the failure, or kTooManyScans
};

constexpr int kTooManyScans = -1;

[[noreturn]] void fail(j_common_ptr cinfo) {
    ErrorState* e = reinterpret_cast<ErrorState*>(cinfo->err);
    e->code = e->pub.msg_code;
    e->pub.format_message(cinfo, e->message);
    longjmp(e->jump, 1);
}

// libjpeg calls this between units of work while reading scans.
void watchScans(j_common_ptr cinfo) {
    if (!cinfo->is_decompressor || reinterpret_cast<j_decompress_ptr>(cinfo)->input_scan_number <= kMaxScans) return;
    ErrorState* e = reinterpret_cast<ErrorState*>(cinfo->err);
    e->code = kTooManyScans;
    snprintf(e->message, sizeof e->message, "more than %d scans", kMaxScans);
    longjmp(e->jump, 1);
}

void errorExit(j_common_ptr cinfo) { fail(cinfo); }

// Damaged data shows up as warnings that libjpeg would paper over with grey
// or repeated pixels. Those fail the decode:
//   JWRN_JPEG_EOF          the file ends early (also a missing EOI)
//   JWRN_HIT_MARKER        a marker inside entropy-coded data
//   JWRN_HUFF_BAD_CODE     an invalid Huffman code
//   JWRN_ARITH_BAD_CODE    the same for arithmetic coding
//   JWRN_MUST_RESYNC       a restart marker missing or out of order
//   JWRN_BOGUS_PROGRESSION progressive scans that do not fit together
//   JWRN_NOT_SEQUENTIAL    scan parameters impossible in a sequential file
//   JWRN_TOO_MUCH_DATA     more scanlines than the picture has
// Tolerated, because the picture still decodes completely:
//   JWRN_EXTRANEOUS_DATA   stray bytes before a marker (common in camera files)
//   JWRN_ADOBE_XFORM       unknown Adobe transform code (libjpeg guesses)
//   JWRN_JFIF_MAJOR        a newer JFIF version number
//   JWRN_BOGUS_ICC         a broken ICC profile marker (the core reports the profile)
// Trace messages (level >= 0) are ignored. Nothing is ever printed.
void emitMessage(j_common_ptr cinfo, int level) {
    if (level >= 0) return;
    switch (cinfo->err->msg_code) {
    case JWRN_JPEG_EOF:
    case JWRN_HIT_MARKER:
    case JWRN_HUFF_BAD_CODE:
    case JWRN_ARITH_BAD_CODE:
    case JWRN_MUST_RESYNC:
    case JWRN_BOGUS_PROGRESSION:
    case JWRN_NOT_SEQUENTIAL:
    case JWRN_TOO_MUCH_DATA:
        fail(cinfo);
    default:
        cinfo->err->num_warnings++;
    }
}

void outputMessage(j_common_ptr) {}

void initErrors(ErrorState& e) {
    jpeg_std_error(&e.pub);
    e.pub.error_exit = errorExit;
    e.pub.emit_message = emitMessage;
    e.pub.output_message = outputMessage;
    e.message[0] = '\0';
    e.code = 0;
}

iflStatus statusOf(const ErrorState& e) {
    switch (e.code) {
    case JERR_OUT_OF_MEMORY:
    case JERR_NO_BACKING_STORE:
        return iflErrNoMemory;
    case JERR_BAD_PRECISION:
    case JERR_CONVERSION_NOTIMPL:
    case JERR_NOT_COMPILED:
    case JERR_NOTIMPL:
        return iflErrUnsupported;
    default:
        return iflErrCorrupt;
    }
}

std::string messageOf(const ErrorState& e) {
    if (e.code == JERR_NO_BACKING_STORE) return "decoding needs more memory than the 2 GiB limit";
    return e.message;
}

// --- EXIF orientation ------------------------------------------------------

unsigned get16(const uint8_t* p, bool big) { return big ? unsigned(p[0]) << 8 | p[1] : unsigned(p[1]) << 8 | p[0]; }

uint32_t get32(const uint8_t* p, bool big) {
    return big ? uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]
               : uint32_t(p[3]) << 24 | uint32_t(p[2]) << 16 | uint32_t(p[1]) << 8 | p[0];
}

// The Orientation tag (0x0112) of IFD0 in an APP1 "Exif\0\0" payload, or 0
// when there is none or the structure is damaged.
int exifOrientation(const uint8_t* p, size_t n) {
    if (n < 6 || memcmp(p, "Exif\0\0", 6) != 0) return 0;
    p += 6, n -= 6;
    if (n < 8) return 0;
    bool big;
    if (memcmp(p, "II*\0", 4) == 0)
        big = false;
    else if (memcmp(p, "MM\0*", 4) == 0)
        big = true;
    else
        return 0;
    uint32_t ifd = get32(p + 4, big);
    if (ifd > n || n - ifd < 2) return 0;
    unsigned count = get16(p + ifd, big);
    size_t first = size_t(ifd) + 2;
    for (unsigned i = 0; i < count; ++i) {
        size_t at = first + size_t(i) * 12;
        if (at > n || n - at < 12) return 0;
        const uint8_t* entry = p + at;
        if (get16(entry, big) != 0x0112) continue;
        unsigned type = get16(entry + 2, big);
        if (get32(entry + 4, big) != 1) return 0;
        if (type == 3) return int(get16(entry + 8, big));  // SHORT
        if (type == 4) {                                   // LONG, from a few writers
            uint32_t v = get32(entry + 8, big);
            return v <= 8 ? int(v) : 0;
        }
        return 0;
    }
    return 0;
}

// The ICC profile of the APP2 "ICC_PROFILE" markers, joined in the order
// of their sequence numbers; empty when there is none. Markers whose
// numbering is damaged are joined as they come: such a profile does not
// parse, and the core reports it.
std::vector<uint8_t> iccProfile(j_decompress_ptr cinfo) {
    static const uint8_t kTag[12] = {'I', 'C', 'C', '_', 'P', 'R', 'O', 'F', 'I', 'L', 'E', 0};
    std::vector<jpeg_saved_marker_ptr> parts;
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next)
        if (m->marker == JPEG_APP0 + 2 && m->data_length >= 14 && memcmp(m->data, kTag, 12) == 0) parts.push_back(m);
    bool numbered = !parts.empty();
    for (size_t i = 0; i < parts.size() && numbered; ++i) {
        numbered = parts[i]->data[13] == parts.size() && parts[i]->data[12] >= 1 && parts[i]->data[12] <= parts.size();
        for (size_t j = 0; j < i && numbered; ++j) numbered = parts[j]->data[12] != parts[i]->data[12];
    }
    if (numbered)
        std::sort(parts.begin(), parts.end(), [](jpeg_saved_marker_ptr a, jpeg_saved_marker_ptr b) {
            return a->data[12] < b->data[12];
        });
    std::vector<uint8_t> icc;
    for (jpeg_saved_marker_ptr m : parts) icc.insert(icc.end(), m->data + 14, m->data + m->data_length);
    return icc;
}

iflOrientation orientationOf(j_decompress_ptr cinfo) {
    for (jpeg_saved_marker_ptr m = cinfo->marker_list; m; m = m->next) {
        if (m->marker != JPEG_APP0 + 1 || m->data_length < 6 || memcmp(m->data, "Exif\0\0", 6) != 0) continue;
        int o = exifOrientation(m->data, m->data_length);
        return o >= 1 && o <= 8 ? iflOrientation(o) : iflUpperLeft;
    }
    return iflUpperLeft;
}

// --- Reading ---------------------------------------------------------------

// (a * b) / 255, rounded, for a and b in 0..255.
inline uint8_t mul255(unsigned a, unsigned b) {
    unsigned t = a * b + 128;
    return uint8_t((t + (t >> 8)) >> 8);
}

// Converts n CMYK pixels to RGBA in place. Files with an Adobe marker store
// CMYK inverted (0 is full ink), as Photoshop writes them.
void cmykToRgba(uint8_t* p, int n, bool inverted) {
    for (int i = 0; i < n; ++i, p += 4) {
        unsigned c = p[0], m = p[1], y = p[2], k = p[3];
        if (!inverted) c = 255 - c, m = 255 - m, y = 255 - y, k = 255 - k;
        p[0] = mul255(c, k);
        p[1] = mul255(m, k);
        p[2] = mul255(y, k);
        p[3] = 255;
    }
}

// Adobe's inverted CMYK (0 full ink) to ink amounts (0 none), in place.
void invertBytes(uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i) p[i] = uint8_t(255 - p[i]);
}

// The decompressor and what it reads; plain data so the guarded functions
// below may jump over it.
struct Decoder {
    jpeg_decompress_struct cinfo;
    ErrorState err;
    jpeg_progress_mgr progress;
    bool created;
    Bytes in;
};

// Starts over at the file's first byte and reads the header. Returns false
// with err.message set on failure.
bool readHeader(Decoder* d) {
    if (setjmp(d->err.jump)) return false;
    if (!d->created) {
        jpeg_create_decompress(&d->cinfo);
        d->created = true;
        d->cinfo.mem->max_memory_to_use = kMaxDecoderMemory;
        d->progress.progress_monitor = watchScans;
        d->cinfo.progress = &d->progress;
        jpeg_save_markers(&d->cinfo, JPEG_APP0 + 1, 0xFFFF);
        jpeg_save_markers(&d->cinfo, JPEG_APP0 + 2, 0xFFFF);
    } else {
        jpeg_abort_decompress(&d->cinfo);
    }
    jpeg_mem_src(&d->cinfo, d->in.data, static_cast<unsigned long>(d->in.size));
    jpeg_read_header(&d->cinfo, TRUE);
    return true;
}

bool isCmyk(j_decompress_ptr cinfo) {
    return cinfo->jpeg_color_space == JCS_CMYK || cinfo->jpeg_color_space == JCS_YCCK;
}

// Decodes every row into sink, after readHeader. Rows are 4 bytes a pixel
// both as RGBA and as CMYK, so CMYK is decoded into the row and converted
// in place: to RGB, or to ink amounts when the sink asks for CMYK.
bool decodeRows(Decoder* d, RowSink* sink) {
    if (setjmp(d->err.jump)) return false;
    j_decompress_ptr cinfo = &d->cinfo;
    bool cmyk = isCmyk(cinfo);
    bool inverted = cmyk && cinfo->saw_Adobe_marker;
    cinfo->out_color_space = cmyk ? JCS_CMYK : JCS_EXT_RGBA;
    jpeg_start_decompress(cinfo);
    int width = int(cinfo->output_width);
    int height = int(cinfo->output_height);
    // A sink whose rows all stay valid takes several rows per call.
    JSAMPROW rows[16];
    int batch = sink->block ? 16 : 1;
    while (int(cinfo->output_scanline) < height) {
        int first = int(cinfo->output_scanline);
        int want = height - first < batch ? height - first : batch;
        for (int i = 0; i < want; ++i) rows[i] = sink->row(first + i);
        int got = int(jpeg_read_scanlines(cinfo, rows, JDIMENSION(want)));
        if (got <= 0) ERREXIT(cinfo, JERR_INPUT_EOF);  // a memory source never suspends
        for (int i = 0; i < got; ++i) {
            if (cmyk && !sink->cmyk)
                cmykToRgba(rows[i], width, inverted);
            else if (cmyk && inverted)
                invertBytes(rows[i], size_t(width) * 4);
            sink->done(first + i);
        }
    }
    jpeg_finish_decompress(cinfo);
    return true;
}

class JpegReader final : public Reader {
public:
    explicit JpegReader(Bytes in) {
        initErrors(d_.err);
        d_.cinfo.err = &d_.err.pub;
        d_.in = in;
    }
    ~JpegReader() override {
        if (d_.created) jpeg_destroy_decompress(&d_.cinfo);
    }
    JpegReader(const JpegReader&) = delete;
    JpegReader& operator=(const JpegReader&) = delete;

    // Reads the header and fills info; the header stays read for the first
    // decode.
    iflStatus start(Info& info, std::string& err) {
        if (!readHeader(&d_)) return failed(err);
        headerFresh_ = true;
        info.channels = 3;
        info.orientation = orientationOf(&d_.cinfo);
        info.icc = iccProfile(&d_.cinfo);
        info.samples = isCmyk(&d_.cinfo)                             ? Samples::cmyk
                       : d_.cinfo.jpeg_color_space == JCS_GRAYSCALE ? Samples::grey
                                                                    : Samples::rgb;
        return info.setSize(d_.cinfo.image_width, d_.cinfo.image_height) ? iflSuccess : iflErrTooLarge;
    }

    iflStatus decode(RowSink& sink, std::string& err) override {
        if (!headerFresh_ && !readHeader(&d_)) return failed(err);
        headerFresh_ = false;
        if (!decodeRows(&d_, &sink)) return failed(err);
        return iflSuccess;
    }

private:
    iflStatus failed(std::string& err) {
        headerFresh_ = false;
        err = messageOf(d_.err);
        return statusOf(d_.err);
    }

    Decoder d_{};
    bool headerFresh_ = false;
};

bool sniff(const uint8_t* p, size_t n) { return n >= 3 && p[0] == 0xFF && p[1] == 0xD8 && p[2] == 0xFF; }

iflStatus open(Bytes in, Info& info, std::unique_ptr<Reader>& reader, std::string& err) {
    std::unique_ptr<JpegReader> r(new JpegReader(in));
    iflStatus st = r->start(info, err);
    if (st == iflSuccess) reader = std::move(r);
    return st;
}

// --- Writing ---------------------------------------------------------------
//
// A tall picture whose rows can be read in place is encoded as two bands on
// two threads. Each band is a picture of its own with a restart marker after
// every MCU row (16 pixel rows); the top band is written straight to the
// file with its frame header patched to the full height, the bottom band's
// entropy-coded data follows it after the restart marker that joins them.
// Downsampling, the DCT and the Huffman tables work on whole MCU rows, and a
// restart resets the DC prediction, so the result is byte for byte the file
// a single encoder writes with the same restart interval.

// Rows per MCU row at 4:2:0, and the band boundary's multiple: 8 MCU rows, so
// the bottom band's restart markers (numbered 0 to 7 from its own start)
// continue the top band's numbering.
constexpr int kMcuRows = 16;
constexpr int kBandMultiple = 8 * kMcuRows;
// Pictures lower than this, or of fewer than kMinParallelPixels, are encoded
// on the calling thread, without restart markers.
constexpr int kMinBandedHeight = 2 * kBandMultiple;

// Writes to a FILE through a buffer, holding back the last two bytes written
// (the EOI marker once the band is finished) when trimEoi is set, and
// rewriting the frame header's height to patchHeight (when non-zero) before
// the first bytes leave.
struct FileDest {
    jpeg_destination_mgr pub;
    FILE* out;
    int patchHeight;
    bool trimEoi;
    bool started;
    JOCTET buf[65536];
};

// Sets the height in the SOF marker of the header at the start of buf.
void patchFrameHeight(JOCTET* buf, size_t n, int height) {
    size_t at = 2;  // after SOI
    while (at + 4 <= n && buf[at] == 0xFF) {
        unsigned marker = buf[at + 1];
        size_t len = size_t(buf[at + 2]) << 8 | buf[at + 3];
        if (marker >= 0xC0 && marker <= 0xC2 && at + 7 <= n) {
            buf[at + 5] = JOCTET(height >> 8);
            buf[at + 6] = JOCTET(height & 0xFF);
            return;
        }
        at += 2 + len;
    }
}

void fileDestInit(j_compress_ptr cinfo) {
    FileDest* d = reinterpret_cast<FileDest*>(cinfo->dest);
    d->pub.next_output_byte = d->buf;
    d->pub.free_in_buffer = sizeof d->buf;
    d->started = false;
}

// Writes the first n bytes of the buffer, keeping `keep` more at its front.
void fileDestFlush(j_compress_ptr cinfo, size_t n, size_t keep) {
    FileDest* d = reinterpret_cast<FileDest*>(cinfo->dest);
    if (!d->started && d->patchHeight) patchFrameHeight(d->buf, n + keep, d->patchHeight);
    d->started = true;
    if (n && fwrite(d->buf, 1, n, d->out) != n) ERREXIT(cinfo, JERR_FILE_WRITE);
    memmove(d->buf, d->buf + n, keep);
}

boolean fileDestEmpty(j_compress_ptr cinfo) {
    FileDest* d = reinterpret_cast<FileDest*>(cinfo->dest);
    size_t keep = d->trimEoi ? 2 : 0;
    fileDestFlush(cinfo, sizeof d->buf - keep, keep);
    d->pub.next_output_byte = d->buf + keep;
    d->pub.free_in_buffer = sizeof d->buf - keep;
    return TRUE;
}

void fileDestTerm(j_compress_ptr cinfo) {
    FileDest* d = reinterpret_cast<FileDest*>(cinfo->dest);
    size_t n = sizeof d->buf - d->pub.free_in_buffer;
    fileDestFlush(cinfo, d->trimEoi && n >= 2 ? n - 2 : n, 0);
}

std::unique_ptr<FileDest> makeFileDest(FILE* out, int patchHeight, bool trimEoi) {
    std::unique_ptr<FileDest> d(new FileDest);
    d->pub.init_destination = fileDestInit;
    d->pub.empty_output_buffer = fileDestEmpty;
    d->pub.term_destination = fileDestTerm;
    d->out = out;
    d->patchHeight = patchHeight;
    d->trimEoi = trimEoi;
    return d;
}

// Collects a band's whole output in a growing malloc'd block.
struct MemDest {
    jpeg_destination_mgr pub;
    JOCTET* data;
    size_t capacity;
    size_t size;  // bytes complete after term
};

void memDestInit(j_compress_ptr cinfo) {
    MemDest* d = reinterpret_cast<MemDest*>(cinfo->dest);
    d->pub.next_output_byte = d->data;
    d->pub.free_in_buffer = d->capacity;
}

boolean memDestEmpty(j_compress_ptr cinfo) {
    MemDest* d = reinterpret_cast<MemDest*>(cinfo->dest);
    size_t grown = d->capacity * 2;
    JOCTET* p = static_cast<JOCTET*>(realloc(d->data, grown));
    if (!p) ERREXIT1(cinfo, JERR_OUT_OF_MEMORY, 10);
    d->data = p;
    d->pub.next_output_byte = p + d->capacity;
    d->pub.free_in_buffer = grown - d->capacity;
    d->capacity = grown;
    return TRUE;
}

void memDestTerm(j_compress_ptr cinfo) {
    MemDest* d = reinterpret_cast<MemDest*>(cinfo->dest);
    d->size = d->capacity - d->pub.free_in_buffer;
}

struct Encoder {
    jpeg_compress_struct cinfo;
    ErrorState err;
    bool created;
};

// Encodes rows [first, first + count) of px as a picture of its own, with a restart marker after every MCU row when restarts is set.
bool encode(Encoder* e, jpeg_destination_mgr* dest, PixelSource* px, int first, int count, bool restarts) {
    if (setjmp(e->err.jump)) return false;
    jpeg_create_compress(&e->cinfo);
    e->created = true;
    j_compress_ptr cinfo = &e->cinfo;
    cinfo->dest = dest;
    bool rgbx = bool(px->rgbx);
    cinfo->image_width = JDIMENSION(px->width);
    cinfo->image_height = JDIMENSION(count);
    cinfo->input_components = rgbx ? 4 : 3;
    cinfo->in_color_space = rgbx ? JCS_EXT_RGBX : JCS_RGB;
    // YCbCr, 2x2 luma sampling (4:2:0), standard Huffman tables, baseline.
    jpeg_set_defaults(cinfo);
    jpeg_set_quality(cinfo, 90, TRUE);
    cinfo->optimize_coding = FALSE;
    if (restarts) cinfo->restart_in_rows = 1;
    jpeg_start_compress(cinfo, TRUE);
    JSAMPROW rows[kMcuRows];
    while (cinfo->next_scanline < cinfo->image_height) {
        int r = int(cinfo->next_scanline);
        int n = rgbx ? std::min(kMcuRows, count - r) : 1;
        for (int i = 0; i < n; ++i)
            rows[i] = const_cast<JSAMPROW>(rgbx ? px->rgbx.row(first + r + i) : px->row(first + r));
        jpeg_write_scanlines(cinfo, rows, JDIMENSION(n));
    }
    jpeg_finish_compress(cinfo);
    return true;
}

// One band's encoder and destination, and how it ended.
struct Band {
    Encoder e;
    int first, count;
    bool ok;
};

iflStatus failure(const Encoder& e, std::string& err) {
    err = messageOf(e.err);
    if (e.err.code == JERR_FILE_WRITE) return iflErrIO;
    return e.err.code == JERR_OUT_OF_MEMORY ? iflErrNoMemory : iflErrBadParams;
}

void initEncoder(Encoder& e) {
    e = Encoder{};
    initErrors(e.err);
    e.cinfo.err = &e.err.pub;
}

// The bottom band's entropy-coded data and EOI: everything after the
// header of its SOS marker. Null when the data has no such marker.
const JOCTET* afterScanHeader(const JOCTET* p, size_t n) {
    size_t at = 2;
    while (at + 4 <= n && p[at] == 0xFF) {
        size_t len = size_t(p[at + 2]) << 8 | p[at + 3];
        if (p[at + 1] == 0xDA) return at + 2 + len <= n ? p + at + 2 + len : nullptr;
        at += 2 + len;
    }
    return nullptr;
}

iflStatus writeBanded(FILE* out, PixelSource& px, std::string& err) {
    const int h = px.height;
    const int split = (h / 2 + kBandMultiple / 2) / kBandMultiple * kBandMultiple;
    std::unique_ptr<FileDest> top = makeFileDest(out, h, true);
    MemDest bottom{};
    bottom.pub.init_destination = memDestInit;
    bottom.pub.empty_output_buffer = memDestEmpty;
    bottom.pub.term_destination = memDestTerm;
    // About two bits a pixel; the destination grows when a picture needs more.
    bottom.capacity = std::max<size_t>(size_t(px.width) * size_t(h - split) / 4, 65536);
    bottom.data = static_cast<JOCTET*>(malloc(bottom.capacity));
    if (!bottom.data) {
        err = "out of memory";
        return iflErrNoMemory;
    }
    Band b;
    initEncoder(b.e);
    b.first = split, b.count = h - split;
    Encoder t;
    initEncoder(t);
    bool ok = false;
    inParallel([&] { ok = encode(&t, &top->pub, &px, 0, split, true); },
               [&] { b.ok = encode(&b.e, &bottom.pub, &px, b.first, b.count, true); });
    if (t.created) jpeg_destroy_compress(&t.cinfo);
    if (b.e.created) jpeg_destroy_compress(&b.e.cinfo);
    iflStatus st = iflSuccess;
    if (!ok)
        st = failure(t, err);
    else if (!b.ok)
        st = failure(b.e, err);
    const JOCTET* scan = st == iflSuccess ? afterScanHeader(bottom.data, bottom.size) : nullptr;
    if (st == iflSuccess && !scan) st = iflErrBadParams, err = "the bottom band has no scan";
    if (st == iflSuccess) {
        // The restart marker after the top band's last MCU row.
        const JOCTET rst[2] = {0xFF, JOCTET(JPEG_RST0 + (split / kMcuRows - 1) % 8)};
        size_t rest = bottom.size - size_t(scan - bottom.data);
        if (fwrite(rst, 1, 2, out) != 2 || fwrite(scan, 1, rest, out) != rest) {
            st = iflErrIO;
            err = strerror(errno);
        }
    }
    free(bottom.data);
    return st;
}

iflStatus write(FILE* out, PixelSource& px, const WriteOptions&, std::string& err) {
    if (px.channels != 3) {
        err = "JPEG stores 3 channels";
        return iflErrBadParams;
    }
    if (px.rgbx && px.height >= kMinBandedHeight && int64_t(px.width) * px.height >= kMinParallelPixels)
        return writeBanded(out, px, err);
    std::unique_ptr<FileDest> dest = makeFileDest(out, 0, false);
    Encoder e;
    initEncoder(e);
    bool ok = encode(&e, &dest->pub, &px, 0, px.height, false);
    if (e.created) jpeg_destroy_compress(&e.cinfo);
    return ok ? iflSuccess : failure(e, err);
}

}  // namespace

const Codec jpegCodec = {"JPEG", kEndings, sniff, open, write, 3, 0};

}  // namespace ifl0
