#include "console_run.h"

#include <windows.h>

#include "report_shape.h"

namespace {

class Stopwatch {
 public:
  Stopwatch() {
    QueryPerformanceFrequency(&frequency_);
    QueryPerformanceCounter(&start_);
  }
  double Seconds() const {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return static_cast<double>(now.QuadPart - start_.QuadPart) /
           static_cast<double>(frequency_.QuadPart);
  }

 private:
  LARGE_INTEGER frequency_, start_;
};

// One argument, quoted so that the C run-time library's parser gives it back
// unchanged: backslashes are literal except before a quote.
std::string Quoted(const std::string& argument) {
  if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos)
    return argument;
  std::string quoted = "\"";
  for (size_t i = 0;; ++i) {
    size_t backslashes = 0;
    while (i < argument.size() && argument[i] == '\\') {
      ++i;
      ++backslashes;
    }
    if (i == argument.size()) {
      quoted.append(backslashes * 2, '\\');
      break;
    }
    quoted.append(argument[i] == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    quoted += argument[i];
  }
  return quoted + "\"";
}

// A key press as the console records it: key down, then key up. Both are
// needed: Wine's _kbhit never looks at the last event in the buffer.
bool TypeKey(HANDLE input, wchar_t character, WORD virtualKey, WORD scanCode) {
  INPUT_RECORD records[2] = {};
  for (int i = 0; i < 2; ++i) {
    records[i].EventType = KEY_EVENT;
    KEY_EVENT_RECORD& key = records[i].Event.KeyEvent;
    key.bKeyDown = i == 0;
    key.wRepeatCount = 1;
    key.wVirtualKeyCode = virtualKey;
    key.wVirtualScanCode = scanCode;
    key.uChar.UnicodeChar = character;
  }
  DWORD written = 0;
  return WriteConsoleInputW(input, records, 2, &written) && written == 2;
}

DWORD PendingEvents(HANDLE input) {
  DWORD count = 0;
  return GetNumberOfConsoleInputEvents(input, &count) ? count : 0;
}

bool Exited(HANDLE process) { return WaitForSingleObject(process, 0) == WAIT_OBJECT_0; }

// Reads what the pipe holds without blocking, and no more: a program that
// writes without end could keep it reading. False once the pipe is broken
// (every writer gone) and empty.
bool ReadAvailable(HANDLE pipe, ConsoleRun& run, const Stopwatch& clock) {
  DWORD available = 0;
  if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL)) return false;
  while (available > 0) {
    char chunk[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, chunk, available < sizeof chunk ? available : sizeof chunk, &got, NULL) ||
        got == 0)
      return false;
    run.Take(chunk, got, clock.Seconds());
    available -= got;
  }
  return true;
}

// Attaches to the child's console once it exists, and opens its input.
HANDLE OpenChildConsoleInput(const PROCESS_INFORMATION& child, const Stopwatch& clock,
                             double timeoutSeconds) {
  FreeConsole();  // a process can be attached to one console only
  while (!AttachConsole(child.dwProcessId)) {
    if (Exited(child.hProcess) || clock.Seconds() > timeoutSeconds) return INVALID_HANDLE_VALUE;
    Sleep(1);
  }
  return CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     NULL, OPEN_EXISTING, 0, NULL);
}

// One run in progress: the child, its output pipe and console input, and
// what has happened so far.
struct Session {
  Session(const ConsoleRunOptions& options, ConsoleRun& run) : options(options), run(run) {}

  const ConsoleRunOptions& options;
  ConsoleRun& run;
  Stopwatch clock;
  HANDLE readEnd = INVALID_HANDLE_VALUE;
  PROCESS_INFORMATION child = {};
  HANDLE input = INVALID_HANDLE_VALUE;
  bool earlyKeyTyped = false, finalKeyTyped = false;
  double keyWaitSince = -1;
};

// Starts the child with its standard output on a pipe; the clock starts
// with it.
bool StartChild(const std::string& program, Session& s) {
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
  HANDLE writeEnd;
  if (!CreatePipe(&s.readEnd, &writeEnd, &inheritable, 1 << 16)) {
    s.run.failure = "CreatePipe failed";
    return false;
  }
  SetHandleInformation(s.readEnd, HANDLE_FLAG_INHERIT, 0);

  // Standard input NULL: the child then reads its console's input, as a
  // program started from a console window does. Standard error is left to
  // the console too; only standard output is the report.
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = NULL;
  startup.hStdOutput = writeEnd;
  startup.hStdError = NULL;
  const std::string path = WindowsPath(program);
  std::string commandLine = Quoted(path);
  for (const std::string& argument : s.options.arguments) commandLine += " " + Quoted(argument);

  s.clock = Stopwatch();
  // CREATE_NO_WINDOW gives the child a console of its own with no window;
  // DETACHED_PROCESS gives it none.
  const DWORD creation = s.options.withConsole ? CREATE_NO_WINDOW : DETACHED_PROCESS;
  if (!CreateProcessA(path.c_str(), &commandLine[0], NULL, NULL, TRUE, creation, NULL, NULL,
                      &startup, &s.child)) {
    s.run.failure =
        "CreateProcess failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(s.readEnd);
    CloseHandle(writeEnd);
    return false;
  }
  CloseHandle(writeEnd);
  return true;
}

// The child's console input, to type into, where it has a console.
void OpenInput(Session& s) {
  if (!s.options.withConsole) return;
  s.input = OpenChildConsoleInput(s.child, s.clock, s.options.timeoutSeconds);
  if (s.input == INVALID_HANDLE_VALUE && !Exited(s.child.hProcess))
    s.run.failure =
        "could not open the child's console input (error " + std::to_string(GetLastError()) + ")";
}

// Ends the child once the time is up.
bool TimedOut(Session& s) {
  if (s.clock.Seconds() <= s.options.timeoutSeconds) return false;
  s.run.timedOut = true;
  TerminateProcess(s.child.hProcess, 1);
  WaitForSingleObject(s.child.hProcess, INFINITE);
  return true;
}

enum class Progress { Running, OutputClosed, Ended };

// Takes in what has arrived on standard output, and says whether the child
// goes on.
Progress ReadWhatArrived(Session& s) {
  // Whether it had ended is asked before the last read, so that all it
  // wrote is in.
  const bool exited = Exited(s.child.hProcess);
  const bool pipeOpen = ReadAvailable(s.readEnd, s.run, s.clock);
  if (exited) {
    if (s.options.withConsole && s.options.typeFinalKey && !s.finalKeyTyped)
      s.run.endedBeforeFinalKey = true;
    return Progress::Ended;
  }
  return pipeOpen ? Progress::Running : Progress::OutputClosed;
}

// During the runs: the early key, once. It goes in once the first result
// line is out and the closing line is not: at least three runs and their
// pauses before the program flushes the input, however late this driver
// got to see the output.
void ActDuringRuns(Session& s) {
  if (s.options.typeEarlyKey && !s.earlyKeyTyped && s.run.progress.AmidTheRuns()) {
    s.earlyKeyTyped = true;
    s.run.earlyKeyQueued = TypeKey(s.input, L'e', 'E', 0x12) && PendingEvents(s.input) >= 2;
  }
}

// When the key wait began, once.
void NoteKeyWait(Session& s) {
  ConsoleRun& run = s.run;
  // The program empties the input buffer as its key wait begins; a key
  // typed before that would be discarded with the rest.
  if (run.closingLineSeconds >= 0 && s.keyWaitSince < 0 && PendingEvents(s.input) == 0) {
    s.keyWaitSince = s.clock.Seconds();
    run.sawKeyWait = true;
  }
}

// Once the key wait has lasted long enough: the final key, once.
void ActAtKeyWait(Session& s) {
  if (s.options.typeFinalKey && !s.finalKeyTyped && s.keyWaitSince >= 0 &&
      s.clock.Seconds() - s.keyWaitSince >= s.options.keyWaitCheckSeconds) {
    s.finalKeyTyped = true;
    if (!TypeKey(s.input, L'k', 'K', 0x25))
      s.run.failure = "could not type into the child's console";
  }
}

// After the end, or a failure: the child's exit code, and every handle closed.
void Finish(Session& s) {
  if (!s.run.failure.empty() && !Exited(s.child.hProcess)) {
    TerminateProcess(s.child.hProcess, 1);
    WaitForSingleObject(s.child.hProcess, INFINITE);
  }
  DWORD exitCode = 259;
  GetExitCodeProcess(s.child.hProcess, &exitCode);
  s.run.exitCode = exitCode;
  if (s.input != INVALID_HANDLE_VALUE) CloseHandle(s.input);
  if (s.options.withConsole) FreeConsole();
  CloseHandle(s.child.hThread);
  CloseHandle(s.child.hProcess);
  CloseHandle(s.readEnd);
}

}  // namespace

// A path as the build names it: under Wine a Unix path, which drive Z: (the
// root of the Unix file system in every Wine prefix) reaches.
std::string WindowsPath(const std::string& path) {
  if (path.empty() || path[0] != '/') return path;
  std::string windows = "Z:" + path;
  for (char& c : windows)
    if (c == '/') c = '\\';
  return windows;
}

ConsoleRun RunOnConsole(const std::string& program, const ConsoleRunOptions& options) {
  ConsoleRun run;
  Session session(options, run);
  if (!StartChild(program, session)) return run;
  OpenInput(session);
  while (run.failure.empty() && !TimedOut(session)) {
    const Progress progress = ReadWhatArrived(session);
    if (progress == Progress::Ended) break;
    if (progress == Progress::OutputClosed) {
      // Standard output closed, the process still running: wait for its end.
      WaitForSingleObject(session.child.hProcess, 1);
      continue;
    }
    if (session.input != INVALID_HANDLE_VALUE) {
      ActDuringRuns(session);
      NoteKeyWait(session);
      ActAtKeyWait(session);
    }
    Sleep(1);
  }
  Finish(session);
  return run;
}
