// The built Windows program, run as a child on a console of its own (under
// Wine in the Windows presets), and once with no console at all.
#include <gtest/gtest.h>

#include "console_run.h"
#include "expected_banner.h"
#include "report_shape.h"

namespace {

const std::string Program = ZEROBENCH_PROGRAM;

// One whole run, with a key typed during the runs and one after the closing
// line, shared by the tests that look at it.
class TypicalRun : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    run_ = RunOnConsole(Program, ConsoleRunOptions{});
    shape_ = ParseReport(run_.output, ExpectedBanner(), true);
  }
  static ConsoleRun run_;
  static ReportShape shape_;
};
ConsoleRun TypicalRun::run_;
ReportShape TypicalRun::shape_;

TEST_F(TypicalRun, WritesTheReportInItsExactShape) {
  ASSERT_EQ(run_.failure, "");
  ASSERT_FALSE(run_.timedOut);
  EXPECT_TRUE(shape_.matches) << shape_.mismatch;
  for (long figure : shape_.figures) EXPECT_GT(figure, 0);
}

TEST_F(TypicalRun, WaitsForANewKeyThenExitsWithZero) {
  ASSERT_EQ(run_.failure, "");
  ASSERT_FALSE(run_.timedOut);
  ASSERT_TRUE(run_.earlyKeyQueued) << "the key typed during the runs never reached the console";
  EXPECT_TRUE(run_.sawKeyWait)
      << "the key typed during the runs was still queued after the closing line";
  EXPECT_FALSE(run_.endedBeforeFinalKey) << "it ended before the key typed after the closing line";
  EXPECT_EQ(run_.exitCode, 0u);
}

// Each pause starts once the previous run's writes are out, so the gap to
// the next figure is at least the pause (plus the run itself).
TEST_F(TypicalRun, PausesBeforeEachRun) {
  ASSERT_TRUE(shape_.matches) << shape_.mismatch;
  const double pauses[4] = {0.050, 0.100, 0.050, 0.100};
  double previousEnd = 0;
  for (int i = 0; i < 4; ++i) {
    const double figureArrived = ArrivalOf(run_, shape_.figureStart[i]);
    EXPECT_GE(figureArrived - previousEnd, pauses[i]) << "before run " << i + 1;
    previousEnd = ArrivalOf(run_, shape_.lineEnd[i] - 1);
  }
}

TEST(Arguments, ChangeNothing) {
  ConsoleRunOptions options;
  options.arguments = {"--help", "/?", "-n", "5", "two words", "", "a\\\"b\\"};
  const ConsoleRun run = RunOnConsole(Program, options);
  ASSERT_EQ(run.failure, "");
  ASSERT_FALSE(run.timedOut);
  const ReportShape shape = ParseReport(run.output, ExpectedBanner(), true);
  EXPECT_TRUE(shape.matches) << shape.mismatch;
  EXPECT_TRUE(run.earlyKeyQueued);
  EXPECT_FALSE(run.endedBeforeFinalKey);
  EXPECT_EQ(run.exitCode, 0u);
}

// Started detached there is no console to read a key from: the key wait ends
// at once, and the report is whole, down to the line end after the wait.
TEST(NoConsole, EndsByItselfWithTheWholeReport) {
  ConsoleRunOptions options;
  options.withConsole = false;
  options.typeEarlyKey = false;
  options.typeFinalKey = false;
  const ConsoleRun run = RunOnConsole(Program, options);
  ASSERT_EQ(run.failure, "");
  ASSERT_FALSE(run.timedOut) << "the program waited for a key that could never come";
  const ReportShape shape = ParseReport(run.output, ExpectedBanner(), true);
  EXPECT_TRUE(shape.matches) << shape.mismatch;
  EXPECT_EQ(run.exitCode, 0u);
}

}  // namespace
