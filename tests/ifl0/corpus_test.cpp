// The fuzzers' files as library tests: every seed is a valid picture that
// reads, and every regression file fails with its own status and reason.
#include <ifl0.h>

#include "codec.h"

#include "testutil.h"

#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>
#include <utility>

namespace {

const std::string kFuzz = std::string(TEST_DATA_DIR) + "/../../fuzz";

// Opens and reads the whole file; returns the status and what was printed.
std::pair<iflStatus, std::string> load(const std::string& path, iflFormat* format) {
    testing::internal::CaptureStderr();
    iflStatus st;
    iflFile* f = iflFile::open(-1, path.c_str(), 0, format, &st);
    if (f) {
        iflSize s;
        f->getDimensions(s);
        std::vector<uint8_t> tile(size_t(s.x) * size_t(s.y) * 4);
        static const int kChannels[4] = {0, 1, 2, 0};
        iflConfig layout(iflUInt8, iflInterleaved, 4, kChannels, 0, iflUpperLeft);
        st = f->getTile(0, 0, 0, s.x, s.y, 1, tile.data(), &layout);
        f->close();
    }
    return {st, testing::internal::GetCapturedStderr()};
}

// Every format the library reads, by its folder name (the lower-case name).
std::map<std::string, const char*> readableFormats() {
    std::map<std::string, const char*> formats;
    for (size_t i = 0; i < ifl0::kCodecCount; ++i) {
        if (!ifl0::kCodecs[i]->open) continue;
        std::string dir = ifl0::kCodecs[i]->name;
        for (char& c : dir) c = char(tolower(static_cast<unsigned char>(c)));
        formats[dir] = ifl0::kCodecs[i]->name;
    }
    return formats;
}

const std::map<std::string, const char*> kFormats = readableFormats();

}  // namespace

TEST(FuzzCorpus, EverySeedIsAPictureItsReaderReads) {
    for (const auto& [dir, name] : kFormats) {
        auto files = testutil::listDir(kFuzz + "/corpus/" + dir);
        EXPECT_FALSE(files.empty()) << dir;
        for (const auto& n : files) {
            std::string path = kFuzz + "/corpus/" + dir + "/" + n;
            auto [st, err] = load(path, nullptr);
            EXPECT_EQ(st, iflSuccess) << path << ": " << err;
            auto forced = load(path, iflFormat::find(name));
            EXPECT_EQ(forced.first, iflSuccess) << path << " is not a " << name << " file: " << forced.second;
        }
    }
}

TEST(FuzzRegressions, EveryFileFailsWithItsOwnStatusAndReason) {
    std::ifstream list(kFuzz + "/regressions/expected.txt");
    ASSERT_TRUE(list) << "no list of regression files";
    std::map<std::string, std::pair<int, std::string>> expected;
    for (std::string line; std::getline(list, line);) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream in(line);
        std::string file;
        int status = 0;
        in >> file >> status;
        std::string reason;
        std::getline(in >> std::ws, reason);
        expected[file] = {status, reason};
    }
    size_t seen = 0;
    for (const auto& [dir, name] : kFormats) {
        for (const auto& n : testutil::listDir(kFuzz + "/regressions/" + dir)) {
            const std::string file = dir + "/" + n, path = kFuzz + "/regressions/" + file;
            auto it = expected.find(file);
            ASSERT_NE(it, expected.end()) << file << " is not listed in expected.txt";
            ++seen;
            // The fuzzers force the format; the program recognises it. Both fail alike.
            for (iflFormat* format : {iflFormat::find(name), static_cast<iflFormat*>(nullptr)}) {
                auto [st, err] = load(path, format);
                EXPECT_EQ(int(st), it->second.first) << file << ": " << err;
                EXPECT_EQ(err.rfind("ifl0: " + path + ": " + it->second.second, 0), 0u) << err;
                EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
            }
        }
    }
    EXPECT_EQ(seen, expected.size()) << "expected.txt lists files that are missing";
}
