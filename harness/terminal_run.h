// Runs the built program as a child on a pseudo-terminal, as a person at a
// terminal would: by default standard input and the controlling terminal are
// the terminal, and standard output is a pipe read apart from what the
// terminal echoes. The options set up the less friendly places it may be
// started from.
#pragma once

#include <csignal>
#include <string>
#include <vector>

#include "report_shape.h"

enum class ChildOutput { Pipe, Closed, DevFull, ReaderGone, File };
enum class ChildInput { Terminal, Closed, File, DevNull };
enum class Interrupt { None, DuringRuns, DuringKeyWait };
// Ctrl-Z, or SIGSTOP as a debugger or kill -STOP sends it; the process is
// continued with SIGCONT once it has stopped.
enum class Stop { None, CtrlZAtKeyWait, SignalAtKeyWait, SignalDuringRuns };

// The emulator this build's tests run under (qemu-i386 for an IA-32 build on
// a kernel that does not start IA-32 programs); empty where they run natively.
std::string TestEmulator();

struct TerminalRunOptions {
  std::vector<std::string> arguments;
  bool emptyEnvironment = false;
  bool controllingTerminal = true;
  ChildInput input = ChildInput::Terminal;
  ChildOutput output = ChildOutput::Pipe;
  std::string file;                       // for ChildInput::File and ChildOutput::File
  int nice = 0;                           // the child's nice value at start
  bool asNobody = false;                  // run without the right to raise the priority
  bool typeEarlyKey = true;               // a key during the runs
  bool typeFinalKey = true;               // a key once the program waits for one
  Interrupt interrupt = Interrupt::None;  // Ctrl-C instead of the early or the final key
  // What the interrupt sends: SIGINT is typed as Ctrl-C, any other signal
  // is sent to the child.
  int interruptSignal = SIGINT;
  int ignoredSignal = 0;  // ignored from the start, as nohup ignores SIGHUP; 0 for none
  // The bytes of the final key press, in pieces typed a moment apart.
  std::vector<std::string> finalKey = {"k"};
  // A stop at the key wait is followed by the final key once it waits again.
  // For Ctrl-Z the program runs as a shell's job.
  Stop stop = Stop::None;
  // While it is stopped, the terminal's settings from before are put back,
  // as a shell does for a stopped job.
  bool shellRestoresWhileStopped = true;
  double keyWaitCheckSeconds = 0.3;  // how long it must go on waiting before the final key
  double timeoutSeconds = 30;
  std::string emulator = TestEmulator();  // the program runs under it, where not empty
};

// The output received is what the program wrote to standard output (Pipe,
// ReaderGone).
struct TerminalRun : ReceivedOutput {
  bool started = false;
  std::string shown;  // what the terminal showed, echoes and standard error, up to MostOutputBytes
  bool timedOut = false;
  bool sawKeyWait = false;            // the terminal went into key mode
  bool endedBeforeFinalKey = false;   // ended on its own while it should have waited
  bool terminalRestored = false;      // the terminal's settings afterwards equal those before
  bool stopped = false;               // as options.stop asked
  bool restoredWhileStopped = false;  // the terminal's settings then equal those before
  bool keyModeAfterContinuing = false;
  int niceDuringKeyWait = 99;
  double exitSeconds = -1;
  int status = -1;  // as waitpid reports it
  // What the program left unread on the terminal once it ended: the shell
  // would read it next.
  std::string leftForTheShell;
};

// The exit code a child gives when it could not be set up as asked.
const int ChildSetupFailed = 125;

TerminalRun RunOnTerminal(const std::string& program, const TerminalRunOptions& options);
