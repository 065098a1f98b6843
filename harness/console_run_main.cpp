// console-run [--timeout SECONDS] PROGRAM [ARGUMENT...]: runs the program on
// a console of its own as the end-to-end tests do, typing a key during the
// runs and one once it waits. Writes the program's standard output, byte for
// byte (its first MostOutputBytes), to standard output and the time to the
// closing line to standard error; exits as the program did (124 when it had
// to be ended after the time-out, 125 when it could not be run). Standard
// output and error should be pipes or files: attaching to the program's
// console detaches this process from its own.
#include <windows.h>

#include <cstdio>
#include <string>

#include "console_run.h"
#include "driver_arguments.h"

namespace {

void WriteAll(HANDLE handle, const std::string& bytes) {
  DWORD written = 0;
  for (size_t done = 0; done < bytes.size(); done += written)
    if (!WriteFile(handle, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &written,
                   NULL) ||
        written == 0)
      return;
}

}  // namespace

int main(int argc, char** argv) {
  // Taken before the run: attaching to the program's console must not change
  // where this process writes.
  const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  const HANDLE errors = GetStdHandle(STD_ERROR_HANDLE);
  ConsoleRunOptions options;
  const int first = ProgramArgument(argc, argv, options.timeoutSeconds);
  if (first == 0) {
    WriteAll(errors, std::string("usage: ") + argv[0] + " " + DriverUsage + "\n");
    return 2;
  }
  options.keyWaitCheckSeconds = 0.05;
  for (int i = first + 1; i < argc; ++i) options.arguments.push_back(argv[i]);
  const ConsoleRun run = RunOnConsole(argv[first], options);
  WriteAll(output, run.output);
  if (!run.failure.empty()) {
    WriteAll(errors, "console-run: " + run.failure + "\n");
    return 125;
  }
  if (run.outputCut)
    WriteAll(errors, "console-run: the program wrote more than " + std::to_string(MostOutputBytes) +
                         " bytes; the rest is left out\n");
  char seconds[64];
  std::snprintf(seconds, sizeof seconds, "seconds-to-closing-line: %.4f\n", run.closingLineSeconds);
  WriteAll(errors, seconds);
  if (run.timedOut) return 124;
  return static_cast<int>(run.exitCode);
}
