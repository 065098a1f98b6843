// terminal-run [--timeout SECONDS] PROGRAM [ARGUMENT...]: runs the program on
// a pseudo-terminal as the end-to-end tests do, typing a key during the runs
// and one once it waits. Writes the program's standard output (its first
// MostOutputBytes) to standard output and the time to the closing line to
// standard error; exits as the program did (124 when it had to be ended
// after the time-out, 125 when it could not be started).
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver_arguments.h"
#include "terminal_run.h"

namespace {

// Why the program cannot be started, or nullptr where it can: the child
// could only exit with ChildSetupFailed.
const char* NotStartable(const char* program) {
  struct stat file;
  if (stat(program, &file) != 0 || access(program, X_OK) != 0) return std::strerror(errno);
  return S_ISREG(file.st_mode) ? nullptr : "not a program file";
}

}  // namespace

int main(int argc, char** argv) {
  TerminalRunOptions options;
  const int first = ProgramArgument(argc, argv, options.timeoutSeconds);
  if (first == 0) {
    std::fprintf(stderr, "usage: %s %s\n", argv[0], DriverUsage);
    return 2;
  }
  if (const char* why = NotStartable(argv[first])) {
    std::fprintf(stderr, "terminal-run: %s: cannot be started: %s\n", argv[first], why);
    return ChildSetupFailed;
  }
  options.keyWaitCheckSeconds = 0.05;
  options.emulator.clear();  // figures are the processor's, never an emulator's
  for (int i = first + 1; i < argc; ++i) options.arguments.push_back(argv[i]);
  const TerminalRun run = RunOnTerminal(argv[first], options);
  if (!run.started) {
    std::fprintf(stderr, "terminal-run: cannot set up a pseudo-terminal: %s\n",
                 std::strerror(errno));
    return ChildSetupFailed;
  }
  (void)!write(STDOUT_FILENO, run.output.data(), run.output.size());
  if (run.outputCut)
    std::fprintf(stderr,
                 "terminal-run: the program wrote more than %zu bytes; the rest is left out\n",
                 MostOutputBytes);
  std::fprintf(stderr, "seconds-to-closing-line: %.4f\n", run.closingLineSeconds);
  if (run.timedOut) return 124;
  return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 128 + WTERMSIG(run.status);
}
