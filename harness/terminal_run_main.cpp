// terminal-run [--timeout SECONDS] PROGRAM [ARGUMENT...]: runs the program on
// a pseudo-terminal as the end-to-end tests do, typing a key during the runs
// and one once it waits. Writes the program's standard output to standard
// output and the time to the closing line to standard error; exits as the
// program did (124 when it had to be ended after the time-out).
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "driver_arguments.h"
#include "terminal_run.h"

int main(int argc, char** argv) {
  TerminalRunOptions options;
  const int first = ProgramArgument(argc, argv, options.timeoutSeconds);
  if (first == 0) {
    std::fprintf(stderr, "usage: %s [--timeout SECONDS] PROGRAM [ARGUMENT...]\n", argv[0]);
    return 2;
  }
  options.keyWaitCheckSeconds = 0.05;
  options.emulator.clear();  // figures are the processor's, never an emulator's
  for (int i = first + 1; i < argc; ++i) options.arguments.push_back(argv[i]);
  const TerminalRun run = RunOnTerminal(argv[first], options);
  (void)!write(STDOUT_FILENO, run.output.data(), run.output.size());
  std::fprintf(stderr, "seconds-to-closing-line: %.4f\n", run.closingLineSeconds);
  if (run.timedOut) return 124;
  return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 128 + WTERMSIG(run.status);
}
