// The built Windows program, run as a child on a console of its own (under
// Wine in the Windows presets), and once with no console at all.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>

#include "console_run.h"
#include "expected_banner.h"
#include "report_shape.h"

namespace {

const std::string Program = ZEROBENCH_PROGRAM;
const std::string ConsoleRunProgram = ZEROBENCH_CONSOLE_RUN;

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

// What a program wrote to its standard output and error, each a pipe, and
// how it ended.
struct Captured {
  bool started = false;
  bool ended = false;
  std::string output, errors;
  DWORD exitCode = 259;
};

std::string ReadAll(HANDLE pipe) {
  std::string all;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(pipe, chunk, sizeof chunk, &got, NULL) && got > 0) all.append(chunk, got);
  return all;
}

// The report is far smaller than a pipe's buffer: both are read once the
// program has ended.
Captured RunCapturing(std::string commandLine) {
  Captured captured;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
  HANDLE outputRead, outputWrite, errorsRead, errorsWrite;
  if (!CreatePipe(&outputRead, &outputWrite, &inheritable, 1 << 16)) return captured;
  if (!CreatePipe(&errorsRead, &errorsWrite, &inheritable, 1 << 16)) return captured;
  SetHandleInformation(outputRead, HANDLE_FLAG_INHERIT, 0);
  SetHandleInformation(errorsRead, HANDLE_FLAG_INHERIT, 0);
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdOutput = outputWrite;
  startup.hStdError = errorsWrite;
  PROCESS_INFORMATION child = {};
  captured.started = CreateProcessA(NULL, &commandLine[0], NULL, NULL, TRUE, CREATE_NO_WINDOW, NULL,
                                    NULL, &startup, &child);
  CloseHandle(outputWrite);
  CloseHandle(errorsWrite);
  if (captured.started) {
    captured.ended = WaitForSingleObject(child.hProcess, 60000) == WAIT_OBJECT_0;
    if (!captured.ended) TerminateProcess(child.hProcess, 1);
    GetExitCodeProcess(child.hProcess, &captured.exitCode);
    captured.output = ReadAll(outputRead);
    captured.errors = ReadAll(errorsRead);
    CloseHandle(child.hThread);
    CloseHandle(child.hProcess);
  }
  CloseHandle(outputRead);
  CloseHandle(errorsRead);
  return captured;
}

// console-run.exe as zerobench-stats runs it: the program's report byte for
// byte on standard output, the time to the closing line alone on standard
// error, the program's exit status as its own.
TEST(ConsoleRunProgram, RelaysTheReportAndTheTime) {
  const Captured run =
      RunCapturing("\"" + WindowsPath(ConsoleRunProgram) + "\" \"" + WindowsPath(Program) + "\"");
  ASSERT_TRUE(run.started) << "console-run could not be started";
  ASSERT_TRUE(run.ended) << "console-run did not end within 60 s";
  const ReportShape shape = ParseReport(run.output, ExpectedBanner(), true);
  EXPECT_TRUE(shape.matches) << shape.mismatch;
  double seconds = -1;
  char end = 0;
  EXPECT_EQ(std::sscanf(run.errors.c_str(), "seconds-to-closing-line: %lf%c", &seconds, &end), 2)
      << run.errors;
  EXPECT_EQ(end, '\n');
  EXPECT_EQ(run.errors.find('\n'), run.errors.size() - 1) << run.errors;
  // The runs' pauses alone take 0.3 s before the closing line.
  EXPECT_GE(seconds, 0.3) << run.errors;
  EXPECT_EQ(run.exitCode, 0u);
}

}  // namespace
