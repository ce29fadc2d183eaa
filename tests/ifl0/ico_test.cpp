// ICO and CUR reading: the entry a viewer shows, PNG and BMP entries, the
// AND mask, recognition of the directory, and damaged files.
#include "codec.h"
#include "picture.h"
#include "formattest.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

using testutil::dataPath;
using testutil::decoded;
using testutil::Picture;
using testutil::readFile;
using testutil::readPicture;
using testutil::refusedAs;

namespace {

using Bytes = std::vector<uint8_t>;

void appendLe(Bytes& b, uint32_t v, int n) {
    for (int i = 0; i < n; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

// A BMP entry of w by h: a 40-byte info header with the doubled height,
// then `rest` (palette, colour rows, mask).
Bytes bitmap(int w, int h, int bits, const Bytes& rest) {
    Bytes b;
    appendLe(b, 40, 4), appendLe(b, uint32_t(w), 4), appendLe(b, uint32_t(2 * h), 4);
    appendLe(b, 1, 2), appendLe(b, uint32_t(bits), 2);
    b.resize(40, 0);
    b.insert(b.end(), rest.begin(), rest.end());
    return b;
}

// An icon (type 1) or cursor (type 2) file holding the entries in order.
Bytes icon(const std::vector<Bytes>& entries, uint16_t type = 1) {
    Bytes b;
    appendLe(b, 0, 2), appendLe(b, type, 2), appendLe(b, uint32_t(entries.size()), 2);
    uint32_t at = uint32_t(6 + 16 * entries.size());
    for (const Bytes& e : entries) {
        b.insert(b.end(), {0, 0, 0, 0});  // sizes and colours: the entry's own header counts
        appendLe(b, 1, 2), appendLe(b, 32, 2), appendLe(b, uint32_t(e.size()), 4), appendLe(b, at, 4);
        at += uint32_t(e.size());
    }
    for (const Bytes& e : entries) b.insert(b.end(), e.begin(), e.end());
    return b;
}

// A 32-bit entry of 2 by 1 whose pixels have alphas a0 and a1, with a mask
// whose bits are `mask` (bit 7 the left pixel).
Bytes rgba32(uint8_t a0, uint8_t a1, uint8_t mask) {
    return bitmap(2, 1, 32, {10, 20, 30, a0, 40, 50, 60, a1, mask, 0, 0, 0});
}

TEST(IcoReader, ShowsTheEntryAViewerShowsAsTheToolDecodesIt) {
    int files = 0;
    for (const std::string& name : testutil::listDir(dataPath("ico"))) {
        const std::string stem = name.substr(0, name.rfind('.')), ending = name.substr(stem.size());
        if (ending != ".ico" && ending != ".cur") continue;
        SCOPED_TRACE(name);
        ++files;
        Picture mine = decoded(readFile(dataPath("ico/" + name)));
        Picture tool = decoded(readFile(dataPath("ico/" + stem + ".pam")));
        ASSERT_EQ(mine.w, tool.w);
        ASSERT_EQ(mine.h, tool.h);
        EXPECT_EQ(mine.c, 4);
        EXPECT_EQ(mine.px, tool.px);
    }
    EXPECT_EQ(files, 7);
}

TEST(IcoReader, PicksTheLargestEntryThenTheDeepest) {
    const Bytes small = rgba32(255, 255, 0);
    const Bytes wide4 = bitmap(3, 1, 4, Bytes(16 * 4, 0));  // 16 black entries; rows and mask below
    Bytes wide4Rows = wide4;
    wide4Rows.insert(wide4Rows.end(), {0x00, 0x00, 0, 0, 0, 0, 0, 0});
    Bytes wide32 = bitmap(3, 1, 32, {1, 2, 3, 255, 1, 2, 3, 255, 1, 2, 3, 255, 0, 0, 0, 0});
    Picture p = decoded(icon({small, wide4Rows, wide32}));
    EXPECT_EQ(p.w, 3);
    EXPECT_EQ(p.at(0, 0)[0], 3) << "the 32-bit entry";
    p = decoded(icon({wide32, small, wide4Rows}));
    EXPECT_EQ(p.at(0, 0)[0], 3);
    p = decoded(icon({small, wide4Rows}));
    EXPECT_EQ(p.w, 3);
    EXPECT_EQ(p.at(0, 0)[0], 0) << "the 4-bit entry";
}

TEST(IcoReader, TakesAlphaFromThirtyTwoBitPixelsUnlessAllAreZeroAndElseFromTheMask) {
    Picture p = decoded(icon({rgba32(0, 128, 0xc0)}));
    EXPECT_EQ(p.at(0, 0)[3], 0);
    EXPECT_EQ(p.at(1, 0)[3], 128) << "the mask is ignored";
    EXPECT_EQ(p.at(1, 0)[0], 60);
    p = decoded(icon({rgba32(0, 0, 0x40)}));
    EXPECT_EQ(p.at(0, 0)[3], 255);
    EXPECT_EQ(p.at(1, 0)[3], 0);
    // A 32-bit entry without its mask, all alpha 0: opaque.
    Bytes noMask = rgba32(0, 0, 0);
    noMask.resize(noMask.size() - 4);
    p = decoded(icon({noMask}));
    EXPECT_EQ(p.at(0, 0)[3], 255);
    EXPECT_EQ(p.at(1, 0)[3], 255);

    // 24-bit: the mask alone decides.
    p = decoded(icon({bitmap(2, 1, 24, {10, 20, 30, 40, 50, 60, 0, 0, 0x80, 0, 0, 0})}));
    EXPECT_EQ(p.c, 4);
    EXPECT_EQ(p.at(0, 0)[3], 0);
    EXPECT_EQ(p.at(1, 0)[3], 255);
    EXPECT_EQ(p.at(1, 0)[0], 60);
}

TEST(IcoReader, RefusesDamagedFilesWithOneLine) {
    Bytes cut = icon({rgba32(255, 255, 0)});
    cut.resize(cut.size() - 1);
    EXPECT_TRUE(refusedAs(cut, iflErrCorrupt, "ICO: entry 1 lies past the end of the file"));

    // Recognition from the content sees this too; a file read as ICO regardless fails on opening.
    Bytes twoBad = icon({rgba32(255, 255, 0), rgba32(255, 255, 0)});
    twoBad[6 + 32 + 52] = 'x';
    EXPECT_TRUE(refusedAs(twoBad, iflErrCorrupt, "ICO: entry 2 holds neither a PNG nor a BMP picture",
                          iflFormat::find("ICO")));

    const Bytes noMask = bitmap(2, 1, 24, {10, 20, 30, 40, 50, 60, 0, 0});
    EXPECT_TRUE(refusedAs(icon({noMask}), iflErrCorrupt, "ICO: truncated mask"));

    Bytes png = readFile(dataPath("ico/png.ico"));
    const size_t pngAt = png[34] | png[35] << 8;  // the second entry's offset
    png[pngAt + 30] ^= 0xff;                      // the CRC of its header chunk
    testutil::Picture p;
    testing::internal::CaptureStderr();
    EXPECT_NE(readPicture(png, p), iflSuccess);
    EXPECT_EQ(testing::internal::GetCapturedStderr().rfind("ifl0: memory: ICO: ", 0), 0u);

    // The size comes from the entry's own header, checked before anything is allocated.
    EXPECT_TRUE(refusedAs(icon({bitmap(40000, 3, 32, Bytes(64, 0))}), iflErrTooLarge,
                          "ICO: picture of 40000 by 3 is beyond the size limits"));
}

TEST(IcoSniff, ClaimsADirectoryWhoseEntriesFitAndBeginAsPictures) {
    const Bytes good = icon({rgba32(255, 255, 0)});
    auto claims = [](const Bytes& b) { return ifl0::icoCodec.sniff(b.data(), b.size()); };
    EXPECT_TRUE(claims(good));
    EXPECT_TRUE(claims(icon({rgba32(255, 255, 0)}, 2)));
    EXPECT_TRUE(claims(readFile(dataPath("ico/png.ico"))));
    const std::pair<size_t, uint8_t> changes[] = {
        {0, 1},        // reserved
        {2, 3},        // type
        {4, 0},        // no entries
        {4, 2},        // a second entry beyond the bytes
        {10, 2},       // two planes
        {12, 3},       // a depth of 3
        {18, 5},       // the data inside the directory
        {22, 'x'},     // data that is no picture
    };
    for (const auto& [at, value] : changes) {
        Bytes b = good;
        b[at] = value;
        EXPECT_FALSE(claims(b)) << "byte " << at << " = " << int(value);
    }
    const std::string others[] = {"bmp/pal1.bmp", "tga/rgb24.tga", "tga/grey-top-rle.tga", "qoi/rgb.qoi"};
    for (const std::string& f : others) {
        Bytes b = readFile(dataPath(f));
        EXPECT_FALSE(claims(b)) << f;
    }
}

TEST(IcoWriter, IcoAndCurNamesAreRefused) {
    for (const char* name : {"x.ico", "x.CUR"}) {
        iflFormat* f = iflFormat::forName(name);
        ASSERT_NE(f, nullptr) << name;
        EXPECT_STREQ(f->name(), "ICO");
        EXPECT_FALSE(f->canWrite());
    }
}

TEST(IcoReader, SurvivesTruncatedAndMutatedFixtures) {
    testutil::QuietStderr quiet;
    for (const std::string& name : testutil::listDir(dataPath("ico"))) {
        if (name.find(".pam") != std::string::npos || name.find(".sh") != std::string::npos) continue;
        SCOPED_TRACE(name);
        testutil::expectDamagedCopiesFailCleanly(readFile(dataPath("ico/" + name)), nullptr, 4242);
    }
}

}  // namespace
