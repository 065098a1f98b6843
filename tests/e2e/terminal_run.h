// Runs the built program as a child on a pseudo-terminal, as a person at a
// terminal would: standard input and the controlling terminal are the
// terminal, standard output is read apart from what the terminal echoes.
#pragma once

#include <string>
#include <vector>

struct TerminalRunOptions {
  std::vector<std::string> arguments;
  bool typeEarlyKey = true;         // a key once the first result line has arrived
  bool typeFinalKey = true;         // a key once the program waits for one
  double keyWaitCheckSeconds = 0.3; // how long it must go on waiting before the final key
  double timeoutSeconds = 30;
};

struct TerminalRun {
  std::string output;                 // what the program wrote to standard output
  std::vector<double> arrivalSeconds; // per byte of output: when it arrived, from the start
  bool timedOut = false;
  bool endedBeforeFinalKey = false;   // ended on its own while it should have waited
  bool sawKeyWait = false;            // the terminal went into key mode after the closing line
  double closingLineSeconds = -1;     // when "--- ok ---\r" had arrived
  int status = -1;                    // as waitpid reports it
};

TerminalRun RunOnTerminal(const std::string& program, const TerminalRunOptions& options);

// The time at which output[offset] arrived.
double ArrivalOf(const TerminalRun& run, size_t offset);
