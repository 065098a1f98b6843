// The program started from the places users start it from: scripts, pipes,
// services, at other priorities, with odd arguments. Wherever it is, it ends
// properly, writes what it can, and leaves the terminal as it found it.
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "expected_banner.h"
#include "report_shape.h"
#include "terminal_run.h"

namespace {

const std::string Program = ZEROBENCH_PROGRAM;

// A directory of the test's own in TMPDIR (or /tmp). When none can be made
// the test fails there, rather than write beside an empty name.
class TemporaryDirectory {
 public:
  TemporaryDirectory() {
    const char* tmpdir = std::getenv("TMPDIR");
    const std::string base = tmpdir && *tmpdir ? tmpdir : "/tmp";
    std::string name = base + "/zerobench-test-XXXXXX";
    if (mkdtemp(&name[0]) == nullptr)
      throw std::runtime_error("cannot make a temporary directory in " + base + ": " +
                               std::strerror(errno));
    path_ = name;
    chmod(path_.c_str(), 0755);
  }
  ~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  std::string Path(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  std::ostringstream bytes;
  bytes << file.rdbuf();
  return bytes.str();
}

void ExpectExitZero(const TerminalRun& run) {
  ASSERT_TRUE(run.started);
  ASSERT_FALSE(run.timedOut);
  ASSERT_TRUE(WIFEXITED(run.status)) << "ended by signal " << WTERMSIG(run.status);
  EXPECT_EQ(WEXITSTATUS(run.status), 0);
}

// It waited for the key typed after the closing line and not for the one
// typed during the runs, took that key press whole, and left the terminal as
// it was.
void ExpectWaitedForTheKey(const TerminalRun& run) {
  ExpectExitZero(run);
  EXPECT_TRUE(run.sawKeyWait) << "the terminal never went into key mode";
  EXPECT_FALSE(run.endedBeforeFinalKey) << "ended without waiting for a new key";
  EXPECT_TRUE(run.terminalRestored);
  EXPECT_EQ(run.leftForTheShell, "") << "left unread on the terminal";
}

void ExpectWholeReport(const std::string& output) {
  const ReportShape shape = ParseReport(output, ExpectedBanner(), true);
  EXPECT_TRUE(shape.matches) << shape.mismatch;
}

TEST(NoTerminal, WritesTheWholeReportAndEndsByItself) {
  TerminalRunOptions options;
  options.controllingTerminal = false;
  options.input = ChildInput::DevNull;
  options.typeEarlyKey = options.typeFinalKey = false;
  options.timeoutSeconds = 20;
  const TerminalRun run = RunOnTerminal(Program, options);
  ExpectExitZero(run);
  ExpectWholeReport(run.output);
  EXPECT_LT(run.exitSeconds - run.closingLineSeconds, 2.0) << "it waited after the closing line";
}

class UnwritableOutput : public ::testing::TestWithParam<ChildOutput> {};

TEST_P(UnwritableOutput, StillWaitsForTheKeyAndExitsWithZero) {
  TerminalRunOptions options;
  options.output = GetParam();
  const TerminalRun run = RunOnTerminal(Program, options);
  ExpectWaitedForTheKey(run);
  if (GetParam() == ChildOutput::ReaderGone) {
    EXPECT_EQ(run.output, ExpectedBanner().substr(0, 5));
  }
}

INSTANTIATE_TEST_SUITE_P(Each, UnwritableOutput,
                         ::testing::Values(ChildOutput::Closed, ChildOutput::DevFull,
                                           ChildOutput::ReaderGone),
                         [](const auto& info) {
                           return info.param == ChildOutput::Closed    ? "Closed"
                                  : info.param == ChildOutput::DevFull ? "DevFull"
                                                                       : "ReaderGone";
                         });

TEST(OutputToAFile, HoldsTheWholeReport) {
  TemporaryDirectory directory;
  TerminalRunOptions options;
  options.output = ChildOutput::File;
  options.file = directory.Path("report");
  const TerminalRun run = RunOnTerminal(Program, options);
  ExpectWaitedForTheKey(run);
  ExpectWholeReport(ReadFile(options.file));
}

// Keys come from the terminal whatever standard input is, and those typed
// during the runs still do not count.
TEST(StandardInput, ClosedOrAFileLeavesTheKeysToTheTerminal) {
  TemporaryDirectory directory;
  std::ofstream(directory.Path("keys")) << "xyz\n\n\n";
  for (ChildInput input : {ChildInput::Closed, ChildInput::File}) {
    SCOPED_TRACE(input == ChildInput::Closed ? "closed" : "a file");
    TerminalRunOptions options;
    options.input = input;
    options.file = directory.Path("keys");
    const TerminalRun run = RunOnTerminal(Program, options);
    ExpectWaitedForTheKey(run);
    ExpectWholeReport(run.output);
  }
}

// The signal (Ctrl-C for SIGINT), during the runs and during the key wait,
// ends the process as its default action does, with the terminal as it was:
// echo on, and canonical mode after the key wait.
void ExpectEndsByTheSignalAndRestoresTheTerminal(int signalNumber) {
  for (Interrupt interrupt : {Interrupt::DuringRuns, Interrupt::DuringKeyWait}) {
    SCOPED_TRACE(interrupt == Interrupt::DuringRuns ? "during the runs" : "during the key wait");
    TerminalRunOptions options;
    options.interrupt = interrupt;
    options.interruptSignal = signalNumber;
    options.typeEarlyKey = options.typeFinalKey = false;
    const TerminalRun run = RunOnTerminal(Program, options);
    ASSERT_FALSE(run.timedOut);
    ASSERT_TRUE(WIFSIGNALED(run.status)) << "exit status " << run.status;
    EXPECT_EQ(WTERMSIG(run.status), signalNumber);
    EXPECT_TRUE(run.terminalRestored);
    EXPECT_EQ(run.sawKeyWait, interrupt == Interrupt::DuringKeyWait);
  }
}

TEST(CtrlC, EndsTheProcessByTheSignalAndRestoresTheTerminal) {
  ExpectEndsByTheSignalAndRestoresTheTerminal(SIGINT);
}

// Not only the usual ones: timeout -s ALRM, a CPU time limit, a user's kill
// -USR1, a profiler's timer or a real-time signal end the program too (one
// amid the real-time signals: qemu-i386 keeps some at either end for itself).
TEST(EndingSignal, AnyThatCanBeCaughtRestoresTheTerminal) {
  const struct rlimit noCoreFile = {0, 0};
  setrlimit(RLIMIT_CORE, &noCoreFile);  // SIGXCPU's default action dumps core
  for (int signalNumber : {SIGALRM, SIGUSR1, SIGUSR2, SIGXCPU, SIGVTALRM, SIGRTMIN + 4}) {
    SCOPED_TRACE(strsignal(signalNumber));
    ExpectEndsByTheSignalAndRestoresTheTerminal(signalNumber);
  }
}

// A signal the parent ignored, as nohup ignores SIGHUP, stays ignored: the
// program goes on to its key.
TEST(EndingSignal, IgnoredByTheParentLeavesTheProgramRunning) {
  TerminalRunOptions options;
  options.ignoredSignal = options.interruptSignal = SIGHUP;
  options.interrupt = Interrupt::DuringRuns;
  const TerminalRun run = RunOnTerminal(Program, options);
  ExpectWaitedForTheKey(run);
  ExpectWholeReport(run.output);
}

// Ctrl-Z at the key wait hands the terminal back as it was; once continued
// the program waits in key mode again, and one key ends it.
TEST(CtrlZ, StopsWithTheTerminalRestoredAndWaitsForOneKeyAfterContinuing) {
  TerminalRunOptions options;
  options.stop = Stop::CtrlZAtKeyWait;
  const TerminalRun run = RunOnTerminal(Program, options);
  EXPECT_TRUE(run.stopped);
  EXPECT_TRUE(run.restoredWhileStopped);
  EXPECT_TRUE(run.keyModeAfterContinuing);
  ExpectWaitedForTheKey(run);
  ExpectWholeReport(run.output);
}

// SIGSTOP cannot be caught: the program learns of it when it goes on. At the
// key wait it then takes up key mode again, whether the shell put its own
// settings back meanwhile or nobody touched them; during the runs the stop
// changes nothing.
TEST(StopSignal, AtTheKeyWaitOrDuringTheRunsLeavesOneKeyToEndIt) {
  struct Case {
    const char* name;
    Stop stop;
    bool shellRestores;
  };
  for (const Case& each :
       {Case{"at the key wait, the shell restoring", Stop::SignalAtKeyWait, true},
        Case{"at the key wait, nobody restoring", Stop::SignalAtKeyWait, false},
        Case{"during the runs", Stop::SignalDuringRuns, true}}) {
    SCOPED_TRACE(each.name);
    TerminalRunOptions options;
    options.stop = each.stop;
    options.shellRestoresWhileStopped = each.shellRestores;
    options.timeoutSeconds = 10;
    const TerminalRun run = RunOnTerminal(Program, options);
    EXPECT_TRUE(run.stopped);
    ExpectWaitedForTheKey(run);
    ExpectWholeReport(run.output);
  }
}

// One key press ends the wait, whatever its bytes, and none of them is left
// for the shell, as a Windows console hands over one key event. Ctrl-S is a
// key too: flow control is off in key mode.
TEST(KeyPress, OfAnyKindEndsTheWaitAndIsTakenWhole) {
  struct Case {
    const char* name;
    std::vector<std::string> bytes;
  };
  for (const Case& each :
       {Case{"an arrow key", {"\x1b[A"}}, Case{"an arrow key over a slow line", {"\x1b", "[", "A"}},
        Case{"a UTF-8 character", {"\xc3\xa9"}}, Case{"a line typed ahead", {"xecho PASTED-RAN\r"}},
        Case{"Ctrl-S", {"\x13"}}}) {
    SCOPED_TRACE(each.name);
    TerminalRunOptions options;
    options.finalKey = each.bytes;
    options.timeoutSeconds = 10;
    const TerminalRun run = RunOnTerminal(Program, options);
    ExpectWaitedForTheKey(run);
    ExpectWholeReport(run.output);
  }
}

TEST(Priority, IsNormalWhileWaitingWhenStartedNiced) {
  if (geteuid() != 0) GTEST_SKIP() << "only root may take a niced process back to normal";
  TerminalRunOptions options;
  options.nice = 10;
  const TerminalRun run = RunOnTerminal(Program, options);
  ExpectWaitedForTheKey(run);
  ExpectWholeReport(run.output);
  EXPECT_EQ(run.niceDuringKeyWait, 0);
}

// Without the right to raise the priority the runs go on as they are.
TEST(Priority, RunsAtTheCurrentPriorityWhenRaisingIsNotAllowed) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to become another user";
  TemporaryDirectory directory;
  const std::string copy = directory.Path("zerobench");
  ASSERT_EQ(std::system(("cp '" + Program + "' '" + copy + "'").c_str()), 0);
  TerminalRunOptions options;
  options.asNobody = true;
  const TerminalRun run = RunOnTerminal(copy, options);
  if (WIFEXITED(run.status) && WEXITSTATUS(run.status) == ChildSetupFailed)
    GTEST_SKIP() << "could not run the program as nobody here";
  ExpectWaitedForTheKey(run);
  ExpectWholeReport(run.output);
  EXPECT_EQ(run.niceDuringKeyWait, 0);
}

TEST(Arguments, OfEveryKindAndAnEmptyEnvironmentChangeNothing) {
  TerminalRunOptions options;
  options.emptyEnvironment = true;
  options.arguments = {"--help", "-h", "/?", "", " ", "\xff\xfe\xc3\x28", std::string(100000, 'a')};
  for (int i = 0; i < 5000; ++i) options.arguments.push_back(std::to_string(i * 7919));
  const TerminalRun run = RunOnTerminal(Program, options);
  ExpectWaitedForTheKey(run);
  ExpectWholeReport(run.output);
}

// A busy loop beside the benchmark, on however many cores there are.
TEST(BusyMachine, StillGivesACompleteReportWithPositiveFigures) {
  const pid_t busy = fork();
  if (busy == 0) {
    for (volatile unsigned long spin = 0;; spin = spin + 1) {
    }
  }
  ASSERT_GT(busy, 0);
  const TerminalRun run = RunOnTerminal(Program, TerminalRunOptions{});
  kill(busy, SIGKILL);
  waitpid(busy, nullptr, 0);
  ExpectWaitedForTheKey(run);
  const ReportShape shape = ParseReport(run.output, ExpectedBanner(), true);
  ASSERT_TRUE(shape.matches) << shape.mismatch;
  for (long figure : shape.figures) EXPECT_GT(figure, 0);
}

}  // namespace
