// The PNG module through the public API: every kind of PNG as 8-bit RGBA,
// refusal of damaged files, and exact round trips through the writer.
#include "ifl0.h"
#include "testutil.h"

#include <gtest/gtest.h>
#include <png.h>

#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using testutil::crc32;

const int kRGBA[] = {0, 1, 2, 3};
const int kProgram[] = {0, 1, 2, 0};  // the layout the program loads with

// --- A tiny PNG writer for crafted files: stored (uncompressed) deflate. ---

void put32(Bytes& v, uint32_t x) {
    for (int s = 24; s >= 0; s -= 8) v.push_back(uint8_t(x >> s));
}

void addChunk(Bytes& png, const char* type, const Bytes& data) {
    put32(png, uint32_t(data.size()));
    size_t start = png.size();
    png.insert(png.end(), type, type + 4);
    png.insert(png.end(), data.begin(), data.end());
    put32(png, crc32(png.data() + start, png.size() - start));
}

Bytes zlibStored(const Bytes& raw) {
    Bytes z = {0x78, 0x01};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(65535, raw.size() - pos);
        z.push_back(pos + n == raw.size() ? 1 : 0);
        z.push_back(uint8_t(n)), z.push_back(uint8_t(n >> 8));
        z.push_back(uint8_t(~n)), z.push_back(uint8_t(~n >> 8));
        z.insert(z.end(), raw.begin() + long(pos), raw.begin() + long(pos + n));
        pos += n;
    } while (pos < raw.size());
    uint32_t a = 1, b = 0;
    for (uint8_t v : raw) a = (a + v) % 65521, b = (b + a) % 65521;
    put32(z, b << 16 | a);
    return z;
}

struct Crafted {
    uint32_t w = 1, h = 1;
    int depth = 8, type = 2;
    bool interlaced = false;
    Bytes plte, trns;
    Bytes rows;  // packed rows without filter bytes, each rowBytes() long
    int samples() const { return type == 2 ? 3 : type == 4 ? 2 : type == 6 ? 4 : 1; }
    size_t rowBytes() const { return (size_t(w) * size_t(samples() * depth) + 7) / 8; }
};

// Adam7: first column, first row, column step, row step of each pass.
const int kPasses[7][4] = {{0, 0, 8, 8}, {4, 0, 8, 8}, {0, 4, 4, 8}, {2, 0, 4, 4},
                           {0, 2, 2, 4}, {1, 0, 2, 2}, {0, 1, 1, 2}};

Bytes filtered(const Crafted& c) {
    Bytes raw;
    size_t rb = c.rowBytes();
    if (!c.interlaced) {
        for (uint32_t y = 0; y < c.h; ++y) {
            raw.push_back(0);
            raw.insert(raw.end(), c.rows.begin() + long(y * rb), c.rows.begin() + long((y + 1) * rb));
        }
        return raw;
    }
    size_t bpp = size_t(c.samples() * c.depth / 8);  // whole bytes only
    for (const auto& p : kPasses) {
        if (uint32_t(p[0]) >= c.w) continue;
        for (uint32_t y = uint32_t(p[1]); y < c.h; y += uint32_t(p[3])) {
            raw.push_back(0);
            for (uint32_t x = uint32_t(p[0]); x < c.w; x += uint32_t(p[2]))
                raw.insert(raw.end(), c.rows.begin() + long(y * rb + x * bpp),
                           c.rows.begin() + long(y * rb + (x + 1) * bpp));
        }
    }
    return raw;
}

Bytes makePng(const Crafted& c) {
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    put32(ihdr, c.w), put32(ihdr, c.h);
    ihdr.push_back(uint8_t(c.depth)), ihdr.push_back(uint8_t(c.type));
    ihdr.push_back(0), ihdr.push_back(0), ihdr.push_back(c.interlaced ? 1 : 0);
    addChunk(png, "IHDR", ihdr);
    if (!c.plte.empty()) addChunk(png, "PLTE", c.plte);
    if (!c.trns.empty()) addChunk(png, "tRNS", c.trns);
    addChunk(png, "IDAT", zlibStored(filtered(c)));
    addChunk(png, "IEND", {});
    return png;
}

// --- Decoding through the public API. ---

struct Decoded {
    iflStatus status = iflSuccess;  // of open, or else of getTile
    iflSize size;
    Bytes px;  // nchans bytes per pixel, upright
};

Decoded decode(iflFile* f, const int* list, int nchans) {
    Decoded d;
    f->getDimensions(d.size);
    d.px.assign(size_t(d.size.x) * size_t(d.size.y) * size_t(nchans), 0);
    iflConfig layout(iflUInt8, iflInterleaved, nchans, list, 0, iflUpperLeft);
    d.status = f->getTile(0, 0, 0, d.size.x, d.size.y, 1, d.px.data(), &layout);
    return d;
}

Decoded decodeBytes(const Bytes& bytes, const int* list = kRGBA, int nchans = 4) {
    iflStatus st;
    iflFile* f = iflFile::openMemory(bytes.data(), bytes.size(), "crafted.png", nullptr, &st);
    if (!f) {
        Decoded d;
        d.status = st;
        return d;
    }
    Decoded d = decode(f, list, nchans);
    d.size.c = f->getSize().c;
    f->close();
    return d;
}

uint64_t fnv1a64(const Bytes& v) {
    uint64_t h = 0xcbf29ce484222325ull;
    for (uint8_t b : v) h = (h ^ b) * 0x100000001b3ull;
    return h;
}

// --- Reading. ---

TEST(PngReader, MatchesReferencePixelsForEverySuiteFile) {
    std::ifstream sums(testutil::dataPath("png/pngsuite.sums"));
    ASSERT_TRUE(sums.good());
    if (!testutil::fileExists(PNGSUITE_DIR)) GTEST_SKIP() << "no PngSuite at " << PNGSUITE_DIR;
    std::string line;
    int files = 0;
    while (std::getline(sums, line)) {
        std::istringstream in(line);
        std::string name, sum;
        int w = 0, h = 0;
        in >> name >> w >> h >> sum;
        SCOPED_TRACE(name);
        iflStatus st;
        iflFile* f = iflFile::open(-1, (std::string(PNGSUITE_DIR) + "/" + name).c_str(), 0, nullptr, &st);
        ASSERT_NE(f, nullptr);
        EXPECT_STREQ(f->getFormat()->name(), "PNG");
        Decoded rgba = decode(f, kRGBA, 4);
        ASSERT_EQ(rgba.status, iflSuccess);
        EXPECT_EQ(rgba.size.x, w);
        EXPECT_EQ(rgba.size.y, h);
        char ours[17];
        snprintf(ours, sizeof ours, "%016llx", static_cast<unsigned long long>(fnv1a64(rgba.px)));
        EXPECT_EQ(ours, sum);
        bool opaque = true;
        for (size_t i = 3; i < rgba.px.size(); i += 4) opaque = opaque && rgba.px[i] == 255;
        if (!opaque) {
            EXPECT_EQ(f->getSize().c, 4);
        }

        // A second decode of the same file, in the program's layout.
        Decoded prog = decode(f, kProgram, 4);
        ASSERT_EQ(prog.status, iflSuccess);
        for (size_t i = 0; i < prog.px.size(); i += 4) {
            ASSERT_EQ(0, memcmp(&prog.px[i], &rgba.px[i], 3)) << "pixel " << i / 4;
            ASSERT_EQ(prog.px[i + 3], rgba.px[i]) << "pixel " << i / 4;
        }
        f->close();
        ++files;
    }
    EXPECT_EQ(files, 161);
}

TEST(PngReader, RefusesEveryBrokenSuiteFile) {
    if (!testutil::fileExists(PNGSUITE_DIR)) GTEST_SKIP() << "no PngSuite at " << PNGSUITE_DIR;
    int files = 0;
    for (const std::string& name : testutil::listDir(PNGSUITE_DIR)) {
        if (name[0] != 'x') continue;
        SCOPED_TRACE(name);
        ++files;
        iflStatus st;
        iflFile* f = iflFile::open(-1, (std::string(PNGSUITE_DIR) + "/" + name).c_str(), 0, nullptr, &st);
        if (!f) {
            EXPECT_NE(st, iflSuccess);
            continue;
        }
        EXPECT_NE(decode(f, kRGBA, 4).status, iflSuccess);
        f->close();
    }
    EXPECT_EQ(files, 14);
}

TEST(PngReader, PresentsGreyAsEqualRgbWithoutAlpha) {
    Crafted c;
    c.w = 3, c.h = 2, c.type = 0;
    c.rows = {0, 1, 254, 128, 200, 255};
    Decoded d = decodeBytes(makePng(c));
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_EQ(d.size.c, 3);
    for (size_t i = 0; i < c.rows.size(); ++i) {
        const uint8_t want[4] = {c.rows[i], c.rows[i], c.rows[i], 255};
        EXPECT_EQ(0, memcmp(&d.px[i * 4], want, 4)) << "pixel " << i;
    }

    // Low-bit grey scales to the full 8-bit range: 2-bit 0..3 is 0, 85, 170, 255.
    c.w = 4, c.h = 1, c.depth = 2;
    c.rows = {0x1b};  // 0, 1, 2, 3
    d = decodeBytes(makePng(c));
    ASSERT_EQ(d.status, iflSuccess);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(d.px[size_t(i) * 4], 85 * i);
        EXPECT_EQ(d.px[size_t(i) * 4 + 2], 85 * i);
    }
}

TEST(PngReader, TurnsTransparencyIntoAlpha) {
    // Palette of three, tRNS for the first two only: the third is opaque.
    Crafted c;
    c.w = 4, c.h = 1, c.type = 3, c.depth = 2;
    c.plte = {255, 0, 0, 0, 255, 0, 0, 0, 255};
    c.trns = {0, 128};
    c.rows = {0x24};  // indices 0, 2, 1, 0
    Decoded d = decodeBytes(makePng(c));
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_EQ(d.size.c, 4);
    const uint8_t want[16] = {255, 0, 0, 0, 0, 0, 255, 255, 0, 255, 0, 128, 255, 0, 0, 0};
    EXPECT_EQ(Bytes(d.px.begin(), d.px.end()), Bytes(want, want + 16));

    // The program's layout puts red where alpha would be.
    d = decodeBytes(makePng(c), kProgram, 4);
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_EQ(d.px[3], 255);
    EXPECT_EQ(d.px[7], 0);

    // Grey with a transparent grey value.
    Crafted g;
    g.w = 3, g.type = 0;
    g.trns = {0, 7};
    g.rows = {7, 8, 7};
    d = decodeBytes(makePng(g));
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_EQ(d.size.c, 4);
    EXPECT_EQ(d.px[3], 0);
    EXPECT_EQ(d.px[7], 255);
    EXPECT_EQ(d.px[11], 0);
    EXPECT_EQ(d.px[4], 8);
}

TEST(PngReader, RoundsSixteenBitSamplesToNearest) {
    // Every 16-bit grey value once.
    Crafted c;
    c.w = 256, c.h = 256, c.type = 0, c.depth = 16;
    for (uint32_t v = 0; v < 65536; ++v) c.rows.push_back(uint8_t(v >> 8)), c.rows.push_back(uint8_t(v));
    Decoded d = decodeBytes(makePng(c));
    ASSERT_EQ(d.status, iflSuccess);
    int wrong = 0;
    for (uint32_t v = 0; v < 65536; ++v) {
        int want = int((v * 255 + 32767) / 65535);
        const uint8_t* p = &d.px[v * 4];
        if (p[0] != want || p[1] != want || p[2] != want || p[3] != 255) {
            if (++wrong < 5) ADD_FAILURE() << "value " << v << " gave " << int(p[0]) << ", want " << want;
        }
    }
    EXPECT_EQ(wrong, 0);

    // RGBA: alpha rounds the same way.
    Crafted a;
    a.w = 1, a.type = 6, a.depth = 16;
    a.rows = {0x00, 0x80, 0x80, 0x80, 0xff, 0x7f, 0x01, 0x01};  // 128, 32896, 65407, 257
    d = decodeBytes(makePng(a));
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_EQ(d.px[0], 0);    // 128 / 257 = 0.498
    EXPECT_EQ(d.px[1], 128);  // 32896 / 257 = 128
    EXPECT_EQ(d.px[2], 255);  // 65407 / 257 = 254.5...
    EXPECT_EQ(d.px[3], 1);
}

Crafted gradient(uint32_t w, uint32_t h, bool interlaced) {
    Crafted c;
    c.w = w, c.h = h, c.type = 6, c.interlaced = interlaced;
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            c.rows.insert(c.rows.end(), {uint8_t(x * 9), uint8_t(y * 13), uint8_t(x * y), uint8_t(255 - x - y)});
    return c;
}

TEST(PngReader, DecodesInterlacedFilesIntoAnyTile) {
    Crafted c = gradient(19, 11, true);
    Bytes png = makePng(c);
    Decoded whole = decodeBytes(png);
    ASSERT_EQ(whole.status, iflSuccess);
    EXPECT_EQ(whole.px, c.rows);

    // Three channels: rows go through a scratch buffer, not the tile.
    Decoded rgb = decodeBytes(png, kRGBA, 3);
    ASSERT_EQ(rgb.status, iflSuccess);
    for (size_t i = 0; i < size_t(19 * 11); ++i)
        ASSERT_EQ(0, memcmp(&rgb.px[i * 3], &c.rows[i * 4], 3)) << "pixel " << i;

    // A tile inside the picture.
    iflStatus st;
    iflFile* f = iflFile::openMemory(png.data(), png.size(), "i.png", nullptr, &st);
    ASSERT_NE(f, nullptr);
    Bytes tile(size_t(5 * 4 * 4));
    iflConfig layout(iflUInt8, iflInterleaved, 4, kRGBA);
    ASSERT_EQ(f->getTile(3, 6, 0, 5, 4, 1, tile.data(), &layout), iflSuccess);
    for (int y = 0; y < 4; ++y)
        EXPECT_EQ(0, memcmp(&tile[size_t(y * 5 * 4)], &c.rows[size_t(((6 + y) * 19 + 3) * 4)], 20)) << "row " << y;
    f->close();
}

// --- Refusals. ---

TEST(PngReader, RefusesTruncatedAndCorruptFiles) {
    Crafted c = gradient(20, 20, false);
    Bytes png = makePng(c);
    ASSERT_EQ(decodeBytes(png).status, iflSuccess);
    size_t iend = png.size() - 12;
    for (size_t cut : {size_t(12), size_t(20), size_t(33), size_t(45), png.size() / 2, iend - 5, iend, png.size() - 1}) {
        Bytes part(png.begin(), png.begin() + long(cut));
        EXPECT_NE(decodeBytes(part).status, iflSuccess) << "cut at " << cut;
    }
    // A flipped byte in the CRC of IHDR and of IDAT; a flipped pixel byte.
    for (size_t at : {size_t(29), iend - 1, size_t(100)}) {
        Bytes bad = png;
        bad[at] ^= 0x10;
        EXPECT_NE(decodeBytes(bad).status, iflSuccess) << "flipped byte " << at;
    }
    // Rows missing from the compressed data.
    c.h = 19;
    Bytes shortData = makePng(c);
    shortData[20 + 3] = 20;  // IHDR claims 20 rows; fix its CRC
    uint32_t crc = crc32(&shortData[12], 17);
    for (int i = 0; i < 4; ++i) shortData[29 + size_t(i)] = uint8_t(crc >> (24 - 8 * i));
    EXPECT_NE(decodeBytes(shortData).status, iflSuccess);
}

TEST(PngReader, RefusesOversizedHeaderAtOpen) {
    Crafted one;
    one.rows = {1, 2, 3};
    Bytes png = makePng(one);  // a 1x1 body behind a huge header
    Bytes ihdr;
    put32(ihdr, 40000), put32(ihdr, 40000);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    Bytes big(png.begin(), png.begin() + 8);
    addChunk(big, "IHDR", ihdr);
    big.insert(big.end(), png.begin() + 33, png.end());
    EXPECT_EQ(decodeBytes(big).status, iflErrTooLarge);

    // Sides within 32767, but an RGBA block beyond 2 GiB.
    ihdr.clear();
    put32(ihdr, 30000), put32(ihdr, 30000);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    big.assign(png.begin(), png.begin() + 8);
    addChunk(big, "IHDR", ihdr);
    big.insert(big.end(), png.begin() + 33, png.end());
    EXPECT_EQ(decodeBytes(big).status, iflErrTooLarge);
}

// --- Writing. ---

Bytes gradientBuffer(int w, int h, int nchans) {
    Bytes b;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < nchans; ++k) b.push_back(uint8_t(x * 5 + y * 3 * k + k * 40));
    return b;
}

// Writes buf (nchans per pixel, channel list list) as a PNG of fileChannels.
iflStatus writePng(const std::string& path, const Bytes& buf, int w, int h, int fileChannels, int nchans,
                   const int* list = nullptr) {
    iflSize size(w, h, fileChannels);
    iflFileConfig cfg(&size);
    iflStatus st;
    iflFile* f = iflFile::create(-1, path.c_str(), nullptr, &cfg, nullptr, &st);
    if (!f) return st;
    iflConfig layout(iflUInt8, iflInterleaved, nchans, list);
    st = f->setTile(0, 0, 0, w, h, 1, buf.data(), &layout);
    f->close();
    return st;
}

Decoded readPng(const std::string& path, int nchans) {
    Bytes bytes = testutil::readFile(path);
    return decodeBytes(bytes, kRGBA, nchans);
}

TEST(PngWriter, RoundTripsOddSizedGradientExactly) {
    testutil::TempDir dir;
    const int w = 47, h = 33;
    for (int fileChannels : {3, 4}) {
        for (int nchans : {3, 4}) {
            SCOPED_TRACE("file " + std::to_string(fileChannels) + ", buffer " + std::to_string(nchans));
            Bytes buf = gradientBuffer(w, h, nchans);
            std::string path = dir / "g.png";
            ASSERT_EQ(writePng(path, buf, w, h, fileChannels, nchans), iflSuccess);
            Decoded d = readPng(path, 4);
            ASSERT_EQ(d.status, iflSuccess);
            EXPECT_EQ(d.size.x, w);
            EXPECT_EQ(d.size.y, h);
            EXPECT_EQ(d.size.c, fileChannels);
            for (int i = 0; i < w * h; ++i) {
                uint8_t want[4] = {buf[size_t(i * nchans)], buf[size_t(i * nchans + 1)], buf[size_t(i * nchans + 2)],
                                   255};
                if (fileChannels == 4) want[3] = nchans == 4 ? buf[size_t(i * 4 + 3)] : 0;
                ASSERT_EQ(0, memcmp(&d.px[size_t(i) * 4], want, 4)) << "pixel " << i;
            }
        }
    }
}

TEST(PngWriter, TakesUnnamedFileChannelFromSameBufferChannel) {
    // Entries 0 and 3 name the absent alpha: file red comes from buffer channel 0.
    testutil::TempDir dir;
    const int w = 47, h = 33;
    const int list[] = {3, 1, 2, 3};
    Bytes buf = gradientBuffer(w, h, 4);
    ASSERT_EQ(writePng(dir / "l.png", buf, w, h, 3, 4, list), iflSuccess);
    Decoded d = readPng(dir / "l.png", 3);
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_EQ(d.size.c, 3);
    for (int i = 0; i < w * h; ++i)
        ASSERT_EQ(0, memcmp(&d.px[size_t(i) * 3], &buf[size_t(i) * 4], 3)) << "pixel " << i;
}

TEST(PngWriter, FailsCleanlyWhenTheDeviceIsFull) {
    int fd = ::open("/dev/full", O_WRONLY);
    if (fd < 0) GTEST_SKIP() << "no /dev/full";
    const int w = 300, h = 300;
    Bytes noise(size_t(w) * h * 4);
    uint32_t x = 1;
    for (uint8_t& b : noise) x = x * 1103515245u + 12345u, b = uint8_t(x >> 16);
    iflSize size(w, h, 4);
    iflFileConfig cfg(&size);
    iflStatus st;
    iflFile* f = iflFile::create(fd, "full.png", nullptr, &cfg, nullptr, &st);
    ASSERT_NE(f, nullptr);
    EXPECT_NE(f->setTile(0, 0, 0, w, h, 1, noise.data()), iflSuccess);
    f->close();
    ::close(fd);
}

// Rows that favour each filter type in turn (flat, left-to-right ramps,
// vertical stripes, smooth and noisy areas), tall enough to be filtered on
// two threads, and noisy enough to need more than one IDAT chunk.
Bytes mixedRows(int w, int h, int nchans) {
    Bytes b(size_t(w) * size_t(h) * size_t(nchans));
    uint32_t s = 7;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int k = 0; k < nchans; ++k) {
                s = s * 1103515245u + 12345u;
                int v;
                switch (y / 8 % 5) {
                case 0: v = 90 + k; break;
                case 1: v = x * 3 + k; break;
                case 2: v = (x / 3 % 2) * 200 + k; break;
                case 3: v = x + y * 2 + k * 30; break;
                default: v = int(s >> 24); break;
                }
                b[(size_t(y) * size_t(w) + size_t(x)) * size_t(nchans) + size_t(k)] = uint8_t(v);
            }
    return b;
}

TEST(PngWriter, LargePicturesRoundTripExactlyFromEveryLayout) {
    testutil::TempDir dir;
    const int w = 611, h = 433;
    for (int fileChannels : {3, 4}) {
        for (int nchans : {3, 4}) {
            SCOPED_TRACE("file " + std::to_string(fileChannels) + ", buffer " + std::to_string(nchans));
            Bytes buf = mixedRows(w, h, nchans);
            std::string path = dir / "m.png";
            ASSERT_EQ(writePng(path, buf, w, h, fileChannels, nchans), iflSuccess);
            Decoded d = readPng(path, 4);
            ASSERT_EQ(d.status, iflSuccess);
            ASSERT_EQ(d.size.x, w);
            ASSERT_EQ(d.size.y, h);
            for (int i = 0; i < w * h; ++i) {
                uint8_t want[4] = {buf[size_t(i * nchans)], buf[size_t(i * nchans + 1)], buf[size_t(i * nchans + 2)],
                                   255};
                if (fileChannels == 4) want[3] = nchans == 4 ? buf[size_t(i * 4 + 3)] : 0;
                ASSERT_EQ(0, memcmp(&d.px[size_t(i) * 4], want, 4)) << "pixel " << i;
            }
        }
    }
}

TEST(PngWriter, SmallerThanRawForPhotographLikeRows) {
    // Adaptive filtering and deflate must actually compress: far below the
    // raw size for the smooth rows, never much above it for the noise.
    testutil::TempDir dir;
    const int w = 611, h = 433;
    Bytes buf = mixedRows(w, h, 3);
    ASSERT_EQ(writePng(dir / "m.png", buf, w, h, 3, 3), iflSuccess);
    size_t size = testutil::readFile(dir / "m.png").size();
    EXPECT_LT(size, buf.size() * 35 / 100) << "four fifths of the rows are smooth";
}

TEST(PngWriter, IncompressiblePictureSpansSeveralDataChunks) {
    testutil::TempDir dir;
    const int w = 600, h = 500;
    Bytes noise(size_t(w) * h * 4);
    uint32_t x = 3;
    for (uint8_t& b : noise) x = x * 1103515245u + 12345u, b = uint8_t(x >> 24);
    ASSERT_EQ(writePng(dir / "n.png", noise, w, h, 4, 4), iflSuccess);
    Bytes file = testutil::readFile(dir / "n.png");
    int idats = 0;
    for (size_t i = 0; i + 4 <= file.size(); ++i) idats += memcmp(&file[i], "IDAT", 4) == 0;
    EXPECT_GE(idats, 2);
    Decoded d = readPng(dir / "n.png", 4);
    ASSERT_EQ(d.status, iflSuccess);
    EXPECT_TRUE(d.px == noise);
}

// The writer's files as libpng itself reads them: odd sizes, a single
// pixel, one tall narrow column, and rows that favour every filter type.
TEST(PngWriter, FilesDecodeExactlyWithLibpng) {
    testutil::TempDir dir;
    struct Case {
        int w, h;
        bool mixed;
    } cases[] = {{47, 33, false}, {1, 1, false}, {3, 700, false}, {611, 433, true}};
    for (const Case& c : cases) {
        for (int channels : {3, 4}) {
            SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h) + ", " + std::to_string(channels) +
                         " channels");
            Bytes buf = c.mixed ? mixedRows(c.w, c.h, channels) : gradientBuffer(c.w, c.h, channels);
            const std::string path = dir / "l.png";
            ASSERT_EQ(writePng(path, buf, c.w, c.h, channels, channels), iflSuccess);

            png_image image;
            memset(&image, 0, sizeof image);
            image.version = PNG_IMAGE_VERSION;
            ASSERT_NE(png_image_begin_read_from_file(&image, path.c_str()), 0) << image.message;
            EXPECT_EQ(int(image.width), c.w);
            EXPECT_EQ(int(image.height), c.h);
            EXPECT_EQ(image.format & PNG_FORMAT_FLAG_ALPHA, channels == 4 ? PNG_FORMAT_FLAG_ALPHA : 0u);
            image.format = channels == 4 ? PNG_FORMAT_RGBA : PNG_FORMAT_RGB;
            Bytes px(PNG_IMAGE_SIZE(image));
            ASSERT_NE(png_image_finish_read(&image, nullptr, px.data(), 0, nullptr), 0) << image.message;
            EXPECT_EQ(image.warning_or_error, 0u) << image.message;
            ASSERT_EQ(px.size(), buf.size());
            for (size_t i = 0; i < px.size(); ++i) ASSERT_EQ(px[i], buf[i]) << "byte " << i;
        }
    }
}

// Plain 8-bit RGB files are inflated into the caller's block and unfiltered
// there when its rows are one block, else through a buffer of their own:
// both must give the same pixels for every filter type, and both must
// refuse damage.
TEST(PngReader, PlainRgbFilesDecodeAlikeIntoBlocksTilesAndThreeChannelBuffers) {
    testutil::TempDir dir;
    const int w = 97, h = 83;
    Bytes rgb = mixedRows(w, h, 3);
    ASSERT_EQ(writePng(dir / "p.png", rgb, w, h, 3, 3), iflSuccess);
    Bytes png = testutil::readFile(dir / "p.png");
    Decoded whole = decodeBytes(png, kRGBA, 4);
    ASSERT_EQ(whole.status, iflSuccess);
    for (int i = 0; i < w * h; ++i) {
        const uint8_t want[4] = {rgb[size_t(i) * 3], rgb[size_t(i) * 3 + 1], rgb[size_t(i) * 3 + 2], 255};
        ASSERT_EQ(0, memcmp(&whole.px[size_t(i) * 4], want, 4)) << "pixel " << i;
    }
    Decoded three = decodeBytes(png, kRGBA, 3);
    ASSERT_EQ(three.status, iflSuccess);
    EXPECT_TRUE(three.px == rgb);
    iflStatus st;
    iflFile* f = iflFile::openMemory(png.data(), png.size(), "p.png", nullptr, &st);
    ASSERT_NE(f, nullptr);
    Bytes tile(size_t(7 * 5 * 4));
    iflConfig layout(iflUInt8, iflInterleaved, 4, kRGBA);
    ASSERT_EQ(f->getTile(11, 40, 0, 7, 5, 1, tile.data(), &layout), iflSuccess);
    f->close();
    for (int y = 0; y < 5; ++y)
        EXPECT_EQ(0, memcmp(&tile[size_t(y * 7 * 4)], &whole.px[size_t(((40 + y) * w + 11) * 4)], 28)) << "row " << y;

    for (int nchans : {3, 4}) {
        SCOPED_TRACE(nchans);
        Bytes cut(png.begin(), png.begin() + long(png.size() / 2));
        EXPECT_NE(decodeBytes(cut, kRGBA, nchans).status, iflSuccess);
        Bytes flipped = png;
        flipped[png.size() / 2] ^= 0x40;
        EXPECT_NE(decodeBytes(flipped, kRGBA, nchans).status, iflSuccess);
    }
}

TEST(PngReader, RefusesUnknownFilterType) {
    Crafted c;
    c.w = 3, c.h = 2;
    c.rows.assign(18, 50);
    Bytes raw = filtered(c);
    raw[10] = 5;  // the second row's filter byte
    Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1a, '\n'};
    Bytes ihdr;
    put32(ihdr, c.w), put32(ihdr, c.h);
    ihdr.insert(ihdr.end(), {8, 2, 0, 0, 0});
    addChunk(png, "IHDR", ihdr);
    addChunk(png, "IDAT", zlibStored(raw));
    addChunk(png, "IEND", {});
    EXPECT_EQ(decodeBytes(png).status, iflErrCorrupt);
}

}  // namespace

// Every row predicts from the one above it: a channel list that reorders a
// row as soon as it is handed over must not change what the next row sees.
TEST(PngReader, PlainRgbFilesDecodeIntoAReorderingBlockLikeAnyOther) {
    testutil::TempDir dir;
    const int w = 97, h = 83;
    Bytes rgb = mixedRows(w, h, 3);
    ASSERT_EQ(writePng(dir / "p.png", rgb, w, h, 3, 3), iflSuccess);
    Bytes png = testutil::readFile(dir / "p.png");
    static const int kBgra[4] = {2, 1, 0, 3};
    Decoded bgra = decodeBytes(png, kBgra, 4);
    ASSERT_EQ(bgra.status, iflSuccess);
    for (int i = 0; i < w * h; ++i) {
        const uint8_t* s = &rgb[size_t(i) * 3];
        const uint8_t want[4] = {s[2], s[1], s[0], 255};
        ASSERT_EQ(0, memcmp(&bgra.px[size_t(i) * 4], want, 4)) << "pixel " << i;
    }
}
