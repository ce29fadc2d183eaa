// The manual page quotes what pictrix prints: every line the driver prints
// on standard output in its ordinary and failing runs is in the page, with
// the file name left out, and each run ends with the documented status.
#include "testutil.h"

#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <vector>

using testutil::run;
using testutil::TempDir;

namespace {

std::string manualPage() {
    std::vector<uint8_t> bytes = testutil::readFile(SOURCE_DIR "/man/pictrix.1");
    return std::string(bytes.begin(), bytes.end());
}

// Checks that each non-empty stdout line, cut before any of the names, is
// quoted in the manual page.
void ExpectLinesDocumented(const std::string& out, const std::vector<std::string>& names) {
    static const std::string manual = manualPage();
    std::istringstream in(out);
    for (std::string line; std::getline(in, line);) {
        for (const std::string& n : names)
            if (size_t at = line.find(n); at != std::string::npos) line.resize(at);
        if (line.empty()) continue;
        EXPECT_NE(manual.find(line), std::string::npos) << "the manual page does not quote: " << line;
    }
}

std::string ExitStatusSection() {
    std::string manual = manualPage();
    size_t from = manual.find(".SH \"EXIT STATUS\"");
    size_t to = manual.find("\n.SH", from + 1);
    return from == std::string::npos ? "" : manual.substr(from, to - from);
}

}  // namespace

TEST(DocumentedMessages, ConversionsPrintOnlyDocumentedLines) {
    TempDir dir;
    const std::string sample = SAMPLES_DIR "/sunrise.png";
    for (const char* name : {"a.jpg", "a.png", "a.ppm"}) {
        auto r = run({PICTRIX_BIN, sample, dir / name});
        EXPECT_EQ(r.status, 0) << name;
        ExpectLinesDocumented(r.out, {});
    }
}

TEST(DocumentedMessages, FailuresPrintOnlyDocumentedLines) {
    TempDir dir;
    const std::string sample = SAMPLES_DIR "/sunrise.png";
    testutil::writeFile(dir / "junk.png", std::string("not a picture"));
    struct Case {
        std::vector<std::string> argv;
        int status;
    } cases[] = {
        {{PICTRIX_BIN}, 2},
        {{PICTRIX_BIN, dir / "missing.png", dir / "x.jpg"}, 1},
        {{PICTRIX_BIN, dir / "junk.png", dir / "x.jpg"}, 1},
        {{PICTRIX_BIN, sample, dir / "x.gif"}, 1},
        {{PICTRIX_BIN, sample, dir / "no-such-folder/x.jpg"}, 1},
    };
    for (const Case& c : cases) {
        auto r = run(c.argv);
        EXPECT_EQ(r.status, c.status) << c.argv.back();
        ExpectLinesDocumented(r.out, {dir.path()});
    }
}

TEST(DocumentedMessages, ManualPageListsEveryExitStatus) {
    std::string section = ExitStatusSection();
    ASSERT_FALSE(section.empty());
    for (const char* status : {"\n.B 0\n", "\n.B 1\n", "\n.B 2\n"})
        EXPECT_NE(section.find(status), std::string::npos) << status;
}
