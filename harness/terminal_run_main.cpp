// terminal-run PROGRAM [ARGUMENT...]: runs the program on a pseudo-terminal
// as the end-to-end tests do, typing a key during the runs and one once it
// waits. Writes the program's standard output to standard output and the
// time to the closing line to standard error; exits as the program did.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>

#include "terminal_run.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s PROGRAM [ARGUMENT...]\n", argv[0]);
    return 2;
  }
  TerminalRunOptions options;
  options.keyWaitCheckSeconds = 0.05;
  options.emulator.clear();  // figures are the processor's, never an emulator's
  for (int i = 2; i < argc; ++i) options.arguments.push_back(argv[i]);
  const TerminalRun run = RunOnTerminal(argv[1], options);
  (void)!write(STDOUT_FILENO, run.output.data(), run.output.size());
  std::fprintf(stderr, "seconds-to-closing-line: %.4f\n", run.closingLineSeconds);
  if (run.timedOut) return 124;
  return WIFEXITED(run.status) ? WEXITSTATUS(run.status) : 128 + WTERMSIG(run.status);
}
