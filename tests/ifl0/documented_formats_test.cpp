// The README's format table and the manual page against the library's own
// format table: each ending that picks a writer is documented with its
// format, and each ending the documents promise picks a writer.
#include "codec.h"
#include "testutil.h"

#include <ifl0.h>

#include <gtest/gtest.h>

#include <cctype>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string readText(const std::string& path) {
    std::vector<uint8_t> bytes = testutil::readFile(path);
    return std::string(bytes.begin(), bytes.end());
}

struct FormatRow {
    std::string format, writes;
    std::vector<std::string> endings;  // without the dot
};

// The rows of the README's table under "## Formats": format | reads | writes | endings | written as.
std::vector<FormatRow> readmeFormatRows() {
    std::istringstream in(readText(SOURCE_DIR "/README.md"));
    std::vector<FormatRow> rows;
    bool inSection = false;
    const std::regex ending("`\\.([a-z0-9]+)`");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("## ", 0) == 0) inSection = line == "## Formats";
        if (!inSection || line.rfind("| ", 0) != 0 || line.rfind("| format", 0) == 0) continue;
        std::vector<std::string> cells;
        std::istringstream cellIn(line.substr(1));
        for (std::string cell; std::getline(cellIn, cell, '|');) cells.push_back(cell);
        if (cells.size() < 4) continue;
        FormatRow row;
        row.format = std::regex_replace(cells[0], std::regex("^ +| +$"), "");
        row.writes = std::regex_replace(cells[2], std::regex("^ +| +$"), "");
        if (row.writes == "yes")
            for (std::sregex_iterator m(cells[3].begin(), cells[3].end(), ending), end; m != end; ++m)
                row.endings.push_back((*m)[1]);
        rows.push_back(row);
    }
    return rows;
}

std::string upper(std::string s) {
    for (char& c : s) c = char(toupper(static_cast<unsigned char>(c)));
    return s;
}

}  // namespace

TEST(DocumentedFormats, ReadmeTableHasOneRowPerReadableFormat) {
    std::vector<FormatRow> rows = readmeFormatRows();
    for (size_t i = 0; i < ifl0::kCodecCount; ++i) {
        const ifl0::Codec& c = *ifl0::kCodecs[i];
        if (!c.sniff) continue;  // write-only entries share their family's row
        int found = 0;
        for (const FormatRow& r : rows) found += r.format == c.name;
        EXPECT_EQ(found, 1) << c.name;
        for (const FormatRow& r : rows) {
            if (r.format == c.name) {
                EXPECT_EQ(r.writes, c.write ? "yes" : "no") << c.name;
            }
        }
    }
}

TEST(DocumentedFormats, EveryWritableEndingIsInTheReadmeAndTheManualPage) {
    std::vector<FormatRow> rows = readmeFormatRows();
    std::string manual = readText(SOURCE_DIR "/man/pictrix.1");
    for (size_t i = 0; i < ifl0::kCodecCount; ++i) {
        const ifl0::Codec& c = *ifl0::kCodecs[i];
        if (!c.write) continue;
        for (const char* const* e = c.endings; *e; ++e) {
            int listed = 0;
            for (const FormatRow& r : rows)
                for (const std::string& ending : r.endings) listed += ending == *e;
            EXPECT_EQ(listed, 1) << "README lists ." << *e << " of " << c.name << " " << listed << " times";
            std::regex inManual("\\n\\.BR? \\." + std::string(*e) + "( |\\n)");
            EXPECT_TRUE(std::regex_search(manual, inManual)) << "manual page lacks ." << *e;
        }
    }
}

TEST(DocumentedFormats, EveryEndingTheReadmePromisesPicksAWriterInAnyCase) {
    for (const FormatRow& r : readmeFormatRows()) {
        for (const std::string& e : r.endings) {
            for (const std::string& name : {"out." + e, "OUT." + upper(e)}) {
                iflFormat* f = iflFormat::forName(name.c_str());
                ASSERT_NE(f, nullptr) << name;
                EXPECT_TRUE(f->canWrite()) << name;
                // PAM is written by the PNM family's second entry.
                const std::string written = f->name();
                EXPECT_TRUE(written == r.format || (r.format == "PNM" && written == "PAM"))
                    << name << " is written as " << written << ", not " << r.format;
            }
        }
    }
}
