// The JPEG module through the library's public interface: decoding known
// pixels, CMYK conventions, EXIF orientation, damaged files, and writing.
#include "ifl0.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include <jpeglib.h>

using testutil::dataPath;
using testutil::readFile;
using Bytes = std::vector<uint8_t>;

namespace {

struct Rgb {
    int r, g, b;
};
const Rgb kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kYellow{255, 255, 0};

// A picture read through the library as upright RGBA.
struct Picture {
    iflStatus status = iflErrBadParams;
    iflSize size;
    Bytes px;
    std::string err;  // what the library printed

    const uint8_t* at(int x, int y) const { return &px[(size_t(y) * size_t(size.x) + size_t(x)) * 4]; }
};

Picture load(const Bytes& file, const int* channels = nullptr) {
    Picture p;
    testing::internal::CaptureStderr();
    iflFile* f = iflFile::openMemory(file.data(), file.size(), "test.jpg", nullptr, &p.status);
    if (f) {
        f->getDimensions(p.size);
        p.px.assign(size_t(p.size.x) * size_t(p.size.y) * 4, 0);
        iflConfig layout(iflUInt8, iflInterleaved, 4, channels, 0, iflUpperLeft);
        p.status = f->getTile(0, 0, 0, p.size.x, p.size.y, 1, p.px.data(), &layout);
        f->close();
    }
    p.err = testing::internal::GetCapturedStderr();
    return p;
}

Bytes fixture(const std::string& name) {
    Bytes b = readFile(dataPath("jpeg/" + name));
    EXPECT_FALSE(b.empty()) << name;
    return b;
}

// True when the w x h rectangle at x, y has colour c, within tol.
::testing::AssertionResult flat(const Picture& p, int x, int y, int w, int h, Rgb c, int tol) {
    for (int j = y; j < y + h; ++j)
        for (int i = x; i < x + w; ++i) {
            const uint8_t* q = p.at(i, j);
            if (std::abs(q[0] - c.r) > tol || std::abs(q[1] - c.g) > tol || std::abs(q[2] - c.b) > tol ||
                q[3] != 255)
                return ::testing::AssertionFailure()
                       << "pixel " << i << "," << j << " is " << int(q[0]) << " " << int(q[1]) << " " << int(q[2])
                       << " " << int(q[3]) << ", want " << c.r << " " << c.g << " " << c.b;
        }
    return ::testing::AssertionSuccess();
}

// The 32 x 16 fixture: 16 x 8 quadrants red, green / blue, yellow.
void expectQuads(const Picture& p) {
    ASSERT_EQ(p.status, iflSuccess);
    ASSERT_EQ(p.size.x, 32);
    ASSERT_EQ(p.size.y, 16);
    EXPECT_TRUE(flat(p, 0, 0, 16, 8, kRed, 3));
    EXPECT_TRUE(flat(p, 16, 0, 16, 8, kGreen, 3));
    EXPECT_TRUE(flat(p, 0, 8, 16, 8, kBlue, 3));
    EXPECT_TRUE(flat(p, 16, 8, 16, 8, kYellow, 3));
}

// Offset of the first marker of this type, or npos.
size_t findMarker(const Bytes& b, uint8_t type) {
    for (size_t i = 0; i + 1 < b.size(); ++i)
        if (b[i] == 0xFF && b[i + 1] == type) return i;
    return std::string::npos;
}

// --- EXIF crafting ---

void put16(Bytes& b, unsigned v, bool big) {
    if (big)
        b.insert(b.end(), {uint8_t(v >> 8), uint8_t(v)});
    else
        b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)});
}
void put32(Bytes& b, uint32_t v, bool big) {
    put16(b, big ? v >> 16 : v & 0xFFFF, big);
    put16(b, big ? v & 0xFFFF : v >> 16, big);
}

// A TIFF structure whose IFD0 holds one Orientation entry.
Bytes exifTiff(unsigned orientation, bool big, unsigned type = 3) {
    Bytes t;
    if (big)
        t.insert(t.end(), {'M', 'M', 0, 42});
    else
        t.insert(t.end(), {'I', 'I', 42, 0});
    put32(t, 8, big);
    put16(t, 2, big);
    // An unrelated entry first (ImageWidth), as cameras write several.
    put16(t, 0x0100, big), put16(t, 4, big), put32(t, 1, big), put32(t, 640, big);
    put16(t, 0x0112, big), put16(t, type, big), put32(t, 1, big);
    if (type == 4)
        put32(t, orientation, big);
    else
        put16(t, orientation, big), put16(t, 0, big);
    put32(t, 0, big);
    return t;
}

// file with an APP1 segment carrying header + payload inserted after SOI.
Bytes withApp1(const Bytes& file, const Bytes& payload, const std::string& header = std::string("Exif\0\0", 6)) {
    size_t len = 2 + header.size() + payload.size();
    Bytes out;
    out.reserve(file.size() + len + 2);
    for (uint8_t b : {file[0], file[1], uint8_t(0xFF), uint8_t(0xE1), uint8_t(len >> 8), uint8_t(len)})
        out.push_back(b);
    out.insert(out.end(), header.begin(), header.end());
    out.insert(out.end(), payload.begin(), payload.end());
    out.insert(out.end(), file.begin() + 2, file.end());
    return out;
}

// --- libjpeg used directly, to make and inspect files the module cannot ---

struct JumpErr {
    jpeg_error_mgr pub;
    jmp_buf jump;
};
void jumpOut(j_common_ptr c) { longjmp(reinterpret_cast<JumpErr*>(c->err)->jump, 1); }

// Settings applied after libjpeg's defaults, before sampling and quality.
struct Tuning {
    J_COLOR_SPACE store = JCS_UNKNOWN;  // the file's colour space, when set
    bool adobe = true;                  // write the Adobe marker
    const std::vector<jpeg_scan_info>* script = nullptr;
};

// Encodes 16 x 16 pixels of `comps` bytes (in libjpeg's `space`) at quality
// 100 without subsampling, tuned as asked; each 8 x 8 block i takes
// block[i]. Uses libjpeg directly, for files the module does not write.
bool encodeBlocks(int comps, J_COLOR_SPACE space, const uint8_t block[4][4], const Tuning& t, Bytes& out) {
    jpeg_compress_struct c;
    JumpErr e;
    c.err = jpeg_std_error(&e.pub);
    e.pub.error_exit = jumpOut;
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    uint8_t rows[16][64];
    for (int y = 0; y < 16; ++y)
        for (int x = 0; x < 16; ++x) memcpy(&rows[y][x * comps], block[(x >= 8) + 2 * (y >= 8)], size_t(comps));
    if (setjmp(e.jump)) {
        jpeg_destroy_compress(&c);
        free(mem);
        return false;
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = 16, c.image_height = 16, c.input_components = comps, c.in_color_space = space;
    jpeg_set_defaults(&c);
    if (t.store != JCS_UNKNOWN) jpeg_set_colorspace(&c, t.store);
    for (int i = 0; i < c.num_components; ++i) c.comp_info[i].h_samp_factor = c.comp_info[i].v_samp_factor = 1;
    jpeg_set_quality(&c, 100, TRUE);
    c.write_Adobe_marker = t.adobe ? TRUE : FALSE;
    if (t.script) c.scan_info = t.script->data(), c.num_scans = int(t.script->size());
    jpeg_start_compress(&c, TRUE);
    for (int y = 0; y < 16; ++y) {
        JSAMPROW r = rows[y];
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    out.assign(mem, mem + size);
    free(mem);
    return true;
}

// A progressive file of the quads colours whose scan script sends every AC
// coefficient of every component alone, in `steps` successive-approximation
// scans.
bool makeManyScanFile(int steps, Bytes& out) {
    std::vector<jpeg_scan_info> script = {{3, {0, 1, 2, 0}, 0, 0, 0, 0}};
    for (int ci = 0; ci < 3; ++ci)
        for (int k = 1; k < 64; ++k)
            for (int s = 0; s < steps; ++s) {
                int al = steps - 1 - s;
                script.push_back({1, {ci, 0, 0, 0}, k, k, s == 0 ? 0 : al + 1, al});
            }
    const uint8_t quads[4][4] = {{255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {255, 255, 0}};
    Tuning t;
    t.script = &script;
    return encodeBlocks(3, JCS_RGB, quads, t, out);
}

// What a written file's header says.
struct HeaderFacts {
    bool ok = false;
    bool progressive = true;
    int components = 0;
    int samp[3][2] = {};
    int lumaQ0 = 0, lumaQ1 = 0, chromaQ0 = 0;
    int dcBits[17] = {};
    J_COLOR_SPACE space = JCS_UNKNOWN;
};

HeaderFacts inspect(const Bytes& file) {
    HeaderFacts h;
    jpeg_decompress_struct d;
    JumpErr e;
    d.err = jpeg_std_error(&e.pub);
    e.pub.error_exit = jumpOut;
    if (setjmp(e.jump)) {
        jpeg_destroy_decompress(&d);
        return h;
    }
    jpeg_create_decompress(&d);
    jpeg_mem_src(&d, file.data(), file.size());
    jpeg_read_header(&d, TRUE);
    h.progressive = d.progressive_mode;
    h.components = d.num_components;
    h.space = d.jpeg_color_space;
    for (int i = 0; i < 3 && i < d.num_components; ++i)
        h.samp[i][0] = d.comp_info[i].h_samp_factor, h.samp[i][1] = d.comp_info[i].v_samp_factor;
    h.lumaQ0 = d.quant_tbl_ptrs[0]->quantval[0];
    h.lumaQ1 = d.quant_tbl_ptrs[0]->quantval[1];
    h.chromaQ0 = d.quant_tbl_ptrs[1] ? d.quant_tbl_ptrs[1]->quantval[0] : 0;
    for (int i = 0; i < 17; ++i) h.dcBits[i] = d.dc_huff_tbl_ptrs[0] ? d.dc_huff_tbl_ptrs[0]->bits[i] : -1;
    jpeg_destroy_decompress(&d);
    h.ok = true;
    return h;
}

// A 47 x 33 RGBA gradient with an opaque alpha.
Bytes gradient(int w, int h) {
    Bytes px(size_t(w) * size_t(h) * 4);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            uint8_t* p = &px[(size_t(y) * size_t(w) + size_t(x)) * 4];
            p[0] = uint8_t(x * 255 / (w - 1));
            p[1] = uint8_t(y * 255 / (h - 1));
            p[2] = uint8_t((x + y) * 255 / (w + h - 2));
            p[3] = 255;
        }
    return px;
}

double psnrRgb(const Bytes& a, const Bytes& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.size(); ++i) {
        if (i % 4 == 3) continue;
        double d = double(a[i]) - double(b[i]);
        sum += d * d;
        ++n;
    }
    if (sum == 0) return 99;
    return 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

iflStatus writeJpeg(const std::string& path, const Bytes& rgba, int w, int h, int nchans, const int* channels) {
    iflSize size(w, h, 3);
    iflFileConfig cfg(&size, iflUInt8);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &cfg, nullptr, &st);
    if (!f) return st;
    Bytes buf;
    if (nchans == 3) {
        for (size_t i = 0; i < rgba.size(); ++i)
            if (i % 4 != 3) buf.push_back(rgba[i]);
    } else {
        buf = rgba;
    }
    iflConfig layout(iflUInt8, iflInterleaved, nchans, channels, 0, iflUpperLeft);
    st = f->setTile(0, 0, 0, w, h, 1, buf.data(), &layout);
    f->close();
    return st;
}

}  // namespace

// --- Decoding known pixels ---

TEST(JpegReader, DecodesFlatBlocksOfBaselineFile) {
    Bytes file = fixture("quads.jpg");
    expectQuads(load(file));

    // The program's layout reads red again into the fourth channel.
    static const int kProgram[4] = {0, 1, 2, 0};
    Picture p = load(file, kProgram);
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_GE(p.at(0, 0)[3], 252);
    EXPECT_LE(p.at(31, 15)[2], 3);
    EXPECT_GE(p.at(31, 15)[3], 252);
    EXPECT_LE(p.at(16, 0)[3], 3);
}

TEST(JpegReader, DecodesProgressiveFileLikeBaseline) {
    Bytes file = fixture("quads-progressive.jpg");
    ASSERT_TRUE(inspect(file).progressive);
    expectQuads(load(file));
}

TEST(JpegReader, ReadsGreyAsEqualRedGreenBlue) {
    Bytes file = fixture("grey.jpg");
    ASSERT_EQ(inspect(file).components, 1);
    Picture p = load(file);
    ASSERT_EQ(p.status, iflSuccess);
    ASSERT_EQ(p.size.x, 17);
    ASSERT_EQ(p.size.y, 9);
    EXPECT_EQ(p.size.c, 3);
    EXPECT_TRUE(flat(p, 0, 0, 8, 9, {40, 40, 40}, 2));
    EXPECT_TRUE(flat(p, 8, 0, 9, 9, {200, 200, 200}, 2));
    for (size_t i = 0; i < p.px.size(); i += 4) {
        ASSERT_EQ(p.px[i], p.px[i + 1]);
        ASSERT_EQ(p.px[i], p.px[i + 2]);
    }
}

TEST(JpegReader, DecodesAgainOnEveryTileRequest) {
    // 4:4:4 files come out of libjpeg a row at a time, 4:2:0 ones two at a time.
    testutil::TempDir dir;
    ASSERT_EQ(writeJpeg(dir / "g.jpg", gradient(47, 33), 47, 33, 4, nullptr), iflSuccess);
    for (const Bytes& file : {fixture("quads-progressive.jpg"), readFile(dir / "g.jpg")}) {
        iflStatus st;
        iflFile* f = iflFile::openMemory(file.data(), file.size(), "q.jpg", nullptr, &st);
        ASSERT_NE(f, nullptr);
        int w = f->getSize().x, h = f->getSize().y;
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        Bytes first(size_t(w) * size_t(h) * 4), again(first.size()), part(6 * 5 * 3);
        iflConfig rgba(iflUInt8, iflInterleaved, 4);
        iflConfig rgb(iflUInt8, iflInterleaved, 3);
        EXPECT_EQ(f->getTile(0, 0, 0, w, h, 1, first.data(), &rgba), iflSuccess);
        // A part of the picture goes through a scratch row, not the tile itself.
        EXPECT_EQ(f->getTile(13, 6, 0, 6, 5, 1, part.data(), &rgb), iflSuccess);
        EXPECT_EQ(f->getTile(0, 0, 0, w, h, 1, again.data(), &rgba), iflSuccess);
        f->close();
        EXPECT_EQ(first, again);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 6; ++x)
                for (int c = 0; c < 3; ++c)
                    ASSERT_EQ(part[(size_t(y) * 6 + size_t(x)) * 3 + size_t(c)],
                              first[(size_t(y + 6) * size_t(w) + size_t(x + 13)) * 4 + size_t(c)])
                        << x << "," << y;
    }
}

// --- CMYK and YCCK ---

TEST(JpegReader, ConvertsImageMagickYcckToRgb) {
    Bytes file = fixture("cmyk-adobe.jpg");
    ASSERT_EQ(inspect(file).space, JCS_YCCK);
    Picture p = load(file);
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_EQ(p.size.c, 3);
    EXPECT_TRUE(flat(p, 0, 0, 8, 8, {200, 100, 50}, 4));
    EXPECT_TRUE(flat(p, 8, 0, 8, 8, {30, 160, 90}, 4));
    EXPECT_TRUE(flat(p, 0, 8, 8, 8, {120, 60, 220}, 4));
    EXPECT_TRUE(flat(p, 8, 8, 8, 8, {250, 240, 10}, 4));
}

TEST(JpegReader, ConvertsCmykByTheAdobeMarkerConvention) {
    // Stored sample values per 8 x 8 block.
    const uint8_t stored[4][4] = {{0, 255, 255, 200}, {255, 128, 0, 100}, {40, 80, 160, 255}, {255, 255, 255, 0}};
    struct Case {
        bool adobe, ycck;
    };
    for (Case c : {Case{true, false}, Case{false, false}, Case{true, true}}) {
        SCOPED_TRACE(std::string(c.adobe ? "Adobe " : "plain ") + (c.ycck ? "YCCK" : "CMYK"));
        Tuning t;
        t.store = c.ycck ? JCS_YCCK : JCS_CMYK;
        t.adobe = c.adobe;
        Bytes file;
        ASSERT_TRUE(encodeBlocks(4, JCS_CMYK, stored, t, file));
        Picture p = load(file);
        ASSERT_EQ(p.status, iflSuccess);
        for (int b = 0; b < 4; ++b) {
            const uint8_t* s = stored[b];
            auto conv = [&](int v) {
                // With the marker the stored values are inverted ink amounts.
                return c.adobe ? (v * s[3] + 127) / 255 : ((255 - v) * (255 - s[3]) + 127) / 255;
            };
            Rgb want{conv(s[0]), conv(s[1]), conv(s[2])};
            EXPECT_TRUE(flat(p, (b % 2) * 8, (b / 2) * 8, 8, 8, want, c.ycck ? 4 : 2)) << "block " << b;
        }
    }
}

// --- EXIF orientation ---

TEST(JpegExif, TurnsRotatedPhotosUpright) {
    Bytes base = fixture("quads.jpg");
    // The upright picture's top-left and top-right corner colours per code;
    // stored: red, green / blue, yellow.
    struct Case {
        unsigned code;
        Rgb topLeft, topRight;
    };
    const Case cases[] = {{1, kRed, kGreen},   {2, kGreen, kRed},   {3, kYellow, kBlue}, {4, kBlue, kYellow},
                          {5, kRed, kBlue},    {6, kBlue, kRed},    {7, kYellow, kGreen}, {8, kGreen, kYellow}};
    for (bool big : {false, true})
        for (const Case& c : cases) {
            SCOPED_TRACE("orientation " + std::to_string(c.code) + (big ? " big-endian" : " little-endian"));
            Picture p = load(withApp1(base, exifTiff(c.code, big)));
            ASSERT_EQ(p.status, iflSuccess);
            bool turned = c.code >= 5;
            ASSERT_EQ(p.size.x, turned ? 16 : 32);
            ASSERT_EQ(p.size.y, turned ? 32 : 16);
            int qw = p.size.x / 2, qh = p.size.y / 2;
            EXPECT_TRUE(flat(p, 0, 0, qw, qh, c.topLeft, 3));
            EXPECT_TRUE(flat(p, qw, 0, qw, qh, c.topRight, 3));
        }
}

TEST(JpegExif, ReadsOrientationStoredAsLong) {
    Picture p = load(withApp1(fixture("quads.jpg"), exifTiff(6, true, 4)));
    ASSERT_EQ(p.status, iflSuccess);
    EXPECT_EQ(p.size.x, 16);
    EXPECT_TRUE(flat(p, 0, 0, 8, 16, kBlue, 3));
}

TEST(JpegExif, LoadsUnturnedWhenOrientationIsMissingOrDamaged) {
    Bytes base = fixture("quads.jpg");
    std::vector<std::pair<std::string, Bytes>> cases;
    cases.push_back({"code 0", withApp1(base, exifTiff(0, false))});
    cases.push_back({"code 9", withApp1(base, exifTiff(9, true))});
    cases.push_back({"code 0xFFFF", withApp1(base, exifTiff(0xFFFF, false))});
    cases.push_back({"ASCII type", withApp1(base, exifTiff(6, false, 2))});
    Bytes farIfd = exifTiff(6, false);
    farIfd[4] = 0xF0, farIfd[5] = 0xFF, farIfd[6] = 0xFF, farIfd[7] = 0xFF;
    cases.push_back({"IFD offset past the end", withApp1(base, farIfd)});
    Bytes edgeIfd = exifTiff(6, false);
    edgeIfd[4] = uint8_t(edgeIfd.size() - 1);
    cases.push_back({"IFD count split at the end", withApp1(base, edgeIfd)});
    Bytes manyEntries = exifTiff(6, true);
    manyEntries[8] = 0xFF, manyEntries[9] = 0xFF;
    manyEntries[22] = 0x00, manyEntries[23] = 0x00;  // the Orientation entry becomes another tag
    manyEntries.resize(manyEntries.size() - 4);
    cases.push_back({"entry count past the end", withApp1(base, manyEntries)});
    Bytes cut = exifTiff(6, false);
    cut.resize(30);
    cases.push_back({"entry cut short", withApp1(base, cut)});
    cases.push_back({"bad byte order", withApp1(base, Bytes{'I', 'M', 42, 0, 8, 0, 0, 0})});
    cases.push_back({"header only", withApp1(base, Bytes{})});
    cases.push_back({"XMP, not EXIF", withApp1(base, exifTiff(6, false), std::string("http://ns.adobe.com/xap/1.0/\0", 29))});
    for (auto& c : cases) {
        SCOPED_TRACE(c.first);
        expectQuads(load(c.second));
    }
}

// --- Damaged files ---

TEST(JpegReader, FailsOnTruncatedFilesAtEveryKindOfCut) {
    for (const char* name : {"quads.jpg", "quads-progressive.jpg", "grey.jpg", "cmyk-adobe.jpg"}) {
        Bytes file = fixture(name);
        size_t sos = findMarker(file, 0xDA);
        ASSERT_NE(sos, std::string::npos);
        size_t n = file.size();
        for (size_t cut : {size_t(2), size_t(3), size_t(4), size_t(20), sos - 7, sos + 2, sos + 20, (sos + n) / 2,
                           n - 20, n - 3, n - 2, n - 1}) {
            SCOPED_TRACE(std::string(name) + " cut at " + std::to_string(cut));
            Bytes part(file.begin(), file.begin() + long(cut));
            EXPECT_NE(load(part).status, iflSuccess);
        }
    }
}

TEST(JpegReader, FailsOnTruncatedWrittenFilesAtEveryStep) {
    testutil::TempDir dir;
    Bytes px = gradient(47, 33);
    ASSERT_EQ(writeJpeg(dir / "g.jpg", px, 47, 33, 4, nullptr), iflSuccess);
    Bytes file = readFile(dir / "g.jpg");
    ASSERT_GT(file.size(), 400u);
    for (size_t cut = 1; cut < file.size(); cut += 23) {
        Bytes part(file.begin(), file.begin() + long(cut));
        ASSERT_NE(load(part).status, iflSuccess) << "cut at " << cut;
    }
}

TEST(JpegReader, ReportsTruncationOnOneLine) {
    Bytes file = fixture("quads.jpg");
    file.resize(file.size() - 30);
    Picture p = load(file);
    EXPECT_EQ(p.status, iflErrCorrupt);
    EXPECT_NE(p.err.find("JPEG: Premature end of JPEG file"), std::string::npos) << p.err;
    EXPECT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
}

TEST(JpegReader, FailsOnBadHuffmanCodeInsteadOfPaddingWithGrey) {
    Bytes file = fixture("quads.jpg");
    size_t sos = findMarker(file, 0xDA);
    ASSERT_NE(sos, std::string::npos);
    size_t data = sos + 2 + (size_t(file[sos + 2]) << 8 | file[sos + 3]);
    // All one bits (0xFF stuffed as FF 00) are no valid code in the standard tables.
    for (size_t i = data; i + 3 < file.size(); i += 2) file[i] = 0xFF, file[i + 1] = 0x00;
    Picture p = load(file);
    EXPECT_EQ(p.status, iflErrCorrupt);
    EXPECT_NE(p.err.find("Huffman"), std::string::npos) << p.err;
}

TEST(JpegReader, SurvivesCorruptionOfAnyByte) {
    for (const char* name : {"quads.jpg", "quads-progressive.jpg", "cmyk-adobe.jpg"}) {
        Bytes file = fixture(name);
        for (size_t i = 2; i < file.size(); ++i)
            for (uint8_t flip : {uint8_t(0xFF), uint8_t(0x5A)}) {
                Bytes bad = file;
                bad[i] ^= flip;
                Picture p = load(bad);
                if (p.status == iflSuccess) {
                    ASSERT_EQ(p.px.size(), size_t(p.size.x) * size_t(p.size.y) * 4);
                } else {
                    ASSERT_EQ(std::count(p.err.begin(), p.err.end(), '\n'), 1) << p.err;
                }
            }
    }
}

TEST(JpegReader, RefusesHeadersBeyondTheLimitsBeforeDecoding) {
    Bytes file = fixture("quads.jpg");
    size_t sof = findMarker(file, 0xC0);
    ASSERT_NE(sof, std::string::npos);
    struct Case {
        unsigned w, h;
        iflStatus want;
    };
    for (Case c : {Case{60000, 60000, iflErrTooLarge}, Case{32768, 1, iflErrTooLarge}, Case{30000, 30000, iflErrTooLarge},
                   Case{0, 16, iflErrCorrupt}}) {
        SCOPED_TRACE(std::to_string(c.w) + " x " + std::to_string(c.h));
        Bytes big = file;
        big[sof + 5] = uint8_t(c.h >> 8), big[sof + 6] = uint8_t(c.h);
        big[sof + 7] = uint8_t(c.w >> 8), big[sof + 8] = uint8_t(c.w);
        iflStatus st = iflSuccess;
        testing::internal::CaptureStderr();
        iflFile* f = iflFile::openMemory(big.data(), big.size(), "big.jpg", nullptr, &st);
        testing::internal::GetCapturedStderr();
        EXPECT_EQ(f, nullptr);
        EXPECT_EQ(st, c.want);
    }
}

TEST(JpegReader, FailsWhenProgressiveCoefficientsPassTheMemoryBound) {
    // 32000 x 16000 is within the picture limits, but its coefficients at
    // 4:4:4 need 3 GB; the decode fails before touching any of it.
    Bytes file = fixture("quads-progressive.jpg");
    size_t sof = findMarker(file, 0xC2);
    ASSERT_NE(sof, std::string::npos);
    file[sof + 5] = 16000 >> 8, file[sof + 6] = 16000 & 0xFF;
    file[sof + 7] = 32000 >> 8, file[sof + 8] = 32000 & 0xFF;
    iflStatus st;
    iflFile* f = iflFile::openMemory(file.data(), file.size(), "wide.jpg", nullptr, &st);
    ASSERT_NE(f, nullptr);
    uint8_t px[4];
    testing::internal::CaptureStderr();
    st = f->getTile(0, 0, 0, 1, 1, 1, px);
    std::string err = testing::internal::GetCapturedStderr();
    f->close();
    EXPECT_EQ(st, iflErrNoMemory);
    EXPECT_NE(err.find("memory"), std::string::npos) << err;
}

TEST(JpegReader, StopsAtTooManyProgressiveScans) {
    Bytes fine, tooMany;
    ASSERT_TRUE(makeManyScanFile(2, fine));     // 379 scans
    ASSERT_TRUE(makeManyScanFile(6, tooMany));  // 1135 scans
    Picture p = load(fine);
    ASSERT_EQ(p.status, iflSuccess) << p.err;
    EXPECT_TRUE(flat(p, 0, 0, 8, 8, kRed, 8));
    EXPECT_TRUE(flat(p, 8, 8, 8, 8, kYellow, 8));
    p = load(tooMany);
    EXPECT_EQ(p.status, iflErrCorrupt);
    EXPECT_NE(p.err.find("scans"), std::string::npos) << p.err;
}

TEST(JpegReader, SniffsOnlyTheStartOfImageMarker) {
    Bytes file = fixture("quads.jpg");
    iflStatus st;
    iflFile* f = iflFile::openMemory(file.data(), file.size(), "noname", nullptr, &st);
    ASSERT_NE(f, nullptr);
    EXPECT_STREQ(f->getFormat()->name(), "JPEG");
    f->close();
    file[2] = 0x00;
    testing::internal::CaptureStderr();
    f = iflFile::openMemory(file.data(), file.size(), "x.jpg", nullptr, &st);
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(f, nullptr);
    EXPECT_EQ(st, iflErrUnknownFormat);
}

// --- Writing ---

TEST(JpegWriter, RoundTripsOddGradientFromEveryLayout) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    Bytes px = gradient(w, h);
    static const int kProgram[4] = {0, 1, 2, 3};
    static const int kSwapped[4] = {2, 1, 0, 3};
    struct Case {
        const char* what;
        int nchans;
        const int* channels;
    };
    for (Case c : {Case{"RGBX in place", 4, nullptr}, Case{"program layout", 4, kProgram}, Case{"RGB rows", 3, nullptr},
                   Case{"swapped channels", 4, kSwapped}}) {
        SCOPED_TRACE(c.what);
        std::string path = dir / "g.jpg";
        ASSERT_EQ(writeJpeg(path, px, w, h, c.nchans, c.channels), iflSuccess);
        Picture p = load(readFile(path));
        ASSERT_EQ(p.status, iflSuccess);
        ASSERT_EQ(p.size.x, w);
        ASSERT_EQ(p.size.y, h);
        Bytes want = px;
        if (c.channels == kSwapped)
            for (size_t i = 0; i < want.size(); i += 4) std::swap(want[i], want[i + 2]);
        EXPECT_GE(psnrRgb(p.px, want), 35.0);
    }
}

TEST(JpegWriter, WritesBaselineQuality90WithHalvedChroma) {
    testutil::TempDir dir;
    Bytes px = gradient(47, 33);
    ASSERT_EQ(writeJpeg(dir / "g.jpg", px, 47, 33, 4, nullptr), iflSuccess);
    HeaderFacts h = inspect(readFile(dir / "g.jpg"));
    ASSERT_TRUE(h.ok);
    EXPECT_FALSE(h.progressive);
    EXPECT_EQ(h.space, JCS_YCbCr);
    ASSERT_EQ(h.components, 3);
    EXPECT_EQ(h.samp[0][0], 2);
    EXPECT_EQ(h.samp[0][1], 2);
    EXPECT_EQ(h.samp[1][0], 1);
    EXPECT_EQ(h.samp[2][1], 1);
    // The standard tables scaled by 20%: luma 16, 11 and chroma 17 become 3, 2, 3.
    EXPECT_EQ(h.lumaQ0, 3);
    EXPECT_EQ(h.lumaQ1, 2);
    EXPECT_EQ(h.chromaQ0, 3);
    // The standard luma DC Huffman table, not one optimised for the picture.
    const int stdDcBits[17] = {0, 0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
    for (int i = 0; i < 17; ++i) EXPECT_EQ(h.dcBits[i], stdDcBits[i]) << i;
}

TEST(JpegWriter, PicksFormatFromEndingInAnyCase) {
    testutil::TempDir dir;
    Bytes px = gradient(9, 7);
    for (const char* name : {"a.JPG", "b.Jpeg", "c.jpe", "d.jpg"}) {
        SCOPED_TRACE(name);
        iflFormat* fmt = iflFormat::forName(name);
        ASSERT_NE(fmt, nullptr);
        EXPECT_STREQ(fmt->name(), "JPEG");
        ASSERT_EQ(writeJpeg(dir / name, px, 9, 7, 4, nullptr), iflSuccess);
        Bytes file = readFile(dir / name);
        ASSERT_GE(file.size(), 3u);
        EXPECT_EQ(file[0], 0xFF);
        EXPECT_EQ(file[1], 0xD8);
        EXPECT_EQ(load(file).status, iflSuccess);
    }
}

TEST(JpegWriter, ReportsFullDiskAsIoError) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    Bytes px = gradient(47, 33);
    iflSize size(47, 33, 3);
    iflFileConfig cfg(&size, iflUInt8);
    iflStatus st;
    iflFile* f = iflFile::create(fd, "full.jpg", nullptr, &cfg, nullptr, &st);
    ASSERT_NE(f, nullptr);
    testing::internal::CaptureStderr();
    st = f->setTile(0, 0, 0, 47, 33, 1, px.data(), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    f->close();
    ::close(fd);
    EXPECT_EQ(st, iflErrIO);
    EXPECT_NE(err.find("full.jpg"), std::string::npos) << err;
}

namespace {

// libjpeg's own encoding of an RGBX picture at quality 90, 4:2:0, with a
// restart marker after every MCU row when asked.
Bytes referenceJpeg(const Bytes& rgbx, int w, int h, bool restarts) {
    jpeg_compress_struct c;
    JumpErr e;
    c.err = jpeg_std_error(&e.pub);
    e.pub.error_exit = jumpOut;
    unsigned char* mem = nullptr;
    unsigned long size = 0;
    if (setjmp(e.jump)) {
        jpeg_destroy_compress(&c);
        free(mem);
        return {};
    }
    jpeg_create_compress(&c);
    jpeg_mem_dest(&c, &mem, &size);
    c.image_width = JDIMENSION(w), c.image_height = JDIMENSION(h), c.input_components = 4;
    c.in_color_space = JCS_EXT_RGBX;
    jpeg_set_defaults(&c);
    jpeg_set_quality(&c, 90, TRUE);
    if (restarts) c.restart_in_rows = 1;
    jpeg_start_compress(&c, TRUE);
    while (c.next_scanline < c.image_height) {
        JSAMPROW r = const_cast<JSAMPROW>(&rgbx[size_t(c.next_scanline) * size_t(w) * 4]);
        jpeg_write_scanlines(&c, &r, 1);
    }
    jpeg_finish_compress(&c);
    jpeg_destroy_compress(&c);
    Bytes out(mem, mem + size);
    free(mem);
    return out;
}

// A picture with detail everywhere, so every MCU row has real entropy-coded data.
Bytes texture(int w, int h) {
    Bytes px(size_t(w) * size_t(h) * 4);
    uint32_t s = 12345;
    for (size_t i = 0; i < px.size(); ++i) {
        s = s * 1103515245u + 12345u;
        px[i] = i % 4 == 3 ? 255 : uint8_t((i / 4 % size_t(w)) * 3 + (s >> 27));
    }
    return px;
}

}  // namespace

// Large pictures (2 MP and 256 rows or more) are encoded in two bands on
// two threads; the joined file must be exactly what one encoder writes,
// whatever the height's remainder. Smaller ones have no restart markers.
TEST(JpegWriter, LargePicturesEqualOneEncoderWithRestartMarkers) {
    testutil::TempDir dir;
    struct Size {
        int w, h;
        bool banded;
    };
    for (Size z : {Size{2000, 1000, true}, Size{2000, 1111, true}, Size{7900, 256, true}, Size{7900, 255, false},
                   Size{1999, 1000, false}, Size{61, 300, false}}) {
        const int w = z.w, h = z.h;
        SCOPED_TRACE(std::to_string(w) + " x " + std::to_string(h));
        Bytes px = texture(w, h);
        ASSERT_EQ(writeJpeg(dir / "t.jpg", px, w, h, 4, nullptr), iflSuccess);
        Bytes want = referenceJpeg(px, w, h, z.banded);
        ASSERT_FALSE(want.empty());
        EXPECT_TRUE(readFile(dir / "t.jpg") == want) << "differs from libjpeg's single encoding";
        // Rows that cannot be read in place go through one encoder, without restarts.
        ASSERT_EQ(writeJpeg(dir / "rgb.jpg", px, w, h, 3, nullptr), iflSuccess);
        EXPECT_TRUE(readFile(dir / "rgb.jpg") == referenceJpeg(px, w, h, false));
    }
}

TEST(JpegWriter, ReportsFullDiskAsIoErrorForBandedPictures) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const int w = 2000, h = 1000;
    Bytes px = texture(w, h);
    iflSize size(w, h, 3);
    iflFileConfig cfg(&size, iflUInt8);
    iflStatus st;
    iflFile* f = iflFile::create(fd, "full.jpg", nullptr, &cfg, nullptr, &st);
    ASSERT_NE(f, nullptr);
    testing::internal::CaptureStderr();
    st = f->setTile(0, 0, 0, w, h, 1, px.data(), nullptr);
    std::string err = testing::internal::GetCapturedStderr();
    f->close();
    ::close(fd);
    EXPECT_EQ(st, iflErrIO);
    EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
}
