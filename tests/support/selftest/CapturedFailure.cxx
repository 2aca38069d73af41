// A test that fails while its standard output is captured, as a fixture's
// set-up helper may. The test "output_capture_keeps_failures" runs it and
// expects the failure's message, and what was captured, in its output: a
// capture must never swallow why a test failed.
#include "tests/support/OutputCapture.hxx"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

void setUpQuietly() {
    Quillomark::Testing::OutputCapture out(1);
    std::printf("what the code under test printed\n");
    ASSERT_EQ(1, 2) << "why the set-up failed";
    out.finish();
}

TEST(CapturedFailure, IsReportedWithTheCapturedOutput) { setUpQuietly(); }

}  // namespace
