// The built program, run as a child on a pseudo-terminal.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include "expected_banner.h"
#include "report_shape.h"
#include "terminal_run.h"

namespace {

const std::string Program = ZEROBENCH_PROGRAM;

// One whole run, with a key typed during the runs and one after the closing
// line, shared by the tests that look at it.
class TypicalRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    run_ = RunOnTerminal(Program, TerminalRunOptions{});
    shape_ = ParseReport(run_.output, ExpectedBanner(), true);
  }
  static TerminalRun run_;
  static ReportShape shape_;
};
TerminalRun TypicalRun::run_;
ReportShape TypicalRun::shape_;

TEST_F(TypicalRun, WritesTheReportInItsExactShape) {
  ASSERT_FALSE(run_.timedOut);
  EXPECT_TRUE(shape_.matches) << shape_.mismatch;
  for (long figure : shape_.figures) EXPECT_GT(figure, 0);
}

TEST_F(TypicalRun, WaitsForANewKeyThenExitsWithZero) {
  ASSERT_FALSE(run_.timedOut);
  EXPECT_TRUE(run_.sawKeyWait) << "the terminal never went into key mode";
  EXPECT_FALSE(run_.endedBeforeFinalKey) << "the key typed during the runs ended the wait";
  ASSERT_TRUE(WIFEXITED(run_.status));
  EXPECT_EQ(WEXITSTATUS(run_.status), 0);
}

// A key typed during the runs shows nowhere, as on a console: the terminal
// echoes nothing while the program runs, and key mode still comes at the
// key wait only.
TEST_F(TypicalRun, EchoesNoKeyTypedWhileItRuns) {
  ASSERT_FALSE(run_.timedOut);
  EXPECT_EQ(run_.shown, "") << "the terminal showed this";
  EXPECT_TRUE(run_.sawKeyWait);
  EXPECT_TRUE(run_.terminalRestored);
}

// Each pause starts once the previous writes are out (the banner's, before
// the first run), so the gap to the next figure is at least the pause (plus
// the run itself).
TEST_F(TypicalRun, PausesBeforeEachRun) {
  ASSERT_TRUE(shape_.matches) << shape_.mismatch;
  const double pauses[4] = {0.050, 0.100, 0.050, 0.100};
  const size_t bannerLength = shape_.figureStart[0];
  double previousEnd = bannerLength > 0 ? ArrivalOf(run_, bannerLength - 1) : 0;
  for (int i = 0; i < 4; ++i) {
    const double figureArrived = ArrivalOf(run_, shape_.figureStart[i]);
    EXPECT_GE(figureArrived - previousEnd, pauses[i]) << "before run " << i + 1;
    previousEnd = ArrivalOf(run_, shape_.lineEnd[i] - 1);
  }
}

}  // namespace
