// Runs the built program as a child on a console of its own, as a person at
// a Windows console would: the child's standard input is the console, its
// standard output a pipe that is read apart from the console, and keys are
// typed into the console's input buffer. The Windows counterpart of
// terminal_run.h; it runs under Wine as well as on Windows.
#pragma once

#include <string>
#include <vector>

#include "report_shape.h"

struct ConsoleRunOptions {
  std::vector<std::string> arguments;
  bool withConsole = true;           // false: started detached, with no console at all
  bool typeEarlyKey = true;          // a key once the first output has arrived
  bool typeFinalKey = true;          // a key once the program waits for one
  double keyWaitCheckSeconds = 0.3;  // how long it must go on waiting before the final key
  double timeoutSeconds = 30;
};

// The output received is what the program wrote to standard output.
struct ConsoleRun : ReceivedOutput {
  std::string failure;  // why the run could not be made; empty when it was
  bool timedOut = false;
  bool earlyKeyQueued = false;       // the early key's events were in the console's input buffer
  bool sawKeyWait = false;           // after the closing line, that buffer was found empty
  bool endedBeforeFinalKey = false;  // ended on its own while it should have waited
  unsigned long exitCode = 259;      // as GetExitCodeProcess reports it (259: still active)
};

// A path as the build names it, as Windows programs under Wine reach it.
std::string WindowsPath(const std::string& path);

ConsoleRun RunOnConsole(const std::string& program, const ConsoleRunOptions& options);
