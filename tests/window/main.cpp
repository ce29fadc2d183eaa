// The window tests need an X server (DISPLAY); scripts/test starts Xvfb.
#include <gtest/gtest.h>

#include "winutil.h"

#include <cstdio>
#include <cstdlib>

namespace {

// Tests send stdout to a file to read the trace lines, so failures are
// reported on stderr as well.
class FailuresToStderr : public testing::EmptyTestEventListener {
    void OnTestPartResult(const testing::TestPartResult& r) override {
        if (r.failed())
            fprintf(stderr, "%s:%d: %s\n", r.file_name() ? r.file_name() : "?", r.line_number(),
                    r.message());
    }
};

// GLUT shuts down at exit, after the tests; the driver must outlive that.
class KeepDriver : public testing::EmptyTestEventListener {
    void OnTestEnd(const testing::TestInfo&) override { winutil::KeepGlDriverLoaded(); }
};

}  // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (!GTEST_FLAG_GET(list_tests) && !getenv("DISPLAY")) {
        fprintf(stderr, "window tests need an X server: run them under xvfb-run\n");
        return 1;
    }
    testing::UnitTest::GetInstance()->listeners().Append(new FailuresToStderr);
    testing::UnitTest::GetInstance()->listeners().Append(new KeepDriver);
    return RUN_ALL_TESTS();
}
