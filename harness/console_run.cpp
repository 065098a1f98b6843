#include "console_run.h"

#include <windows.h>

namespace {

const char ClosingLine[] = "--- ok ---\r";

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

// Reads what the pipe holds without blocking. False once the pipe is broken
// (every writer gone) and empty.
bool ReadAvailable(HANDLE pipe, ConsoleRun& run, const Stopwatch& clock) {
  for (;;) {
    DWORD available = 0;
    if (!PeekNamedPipe(pipe, NULL, 0, NULL, &available, NULL)) return false;
    if (available == 0) return true;
    char chunk[4096];
    DWORD got = 0;
    if (!ReadFile(pipe, chunk, available < sizeof chunk ? available : sizeof chunk, &got, NULL) ||
        got == 0)
      return false;
    run.output.append(chunk, got);
    run.arrivalSeconds.resize(run.output.size(), clock.Seconds());
  }
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

double ArrivalOf(const ConsoleRun& run, size_t offset) {
  return offset < run.arrivalSeconds.size() ? run.arrivalSeconds[offset] : -1;
}

ConsoleRun RunOnConsole(const std::string& program, const ConsoleRunOptions& options) {
  ConsoleRun run;
  SECURITY_ATTRIBUTES inheritable = {sizeof inheritable, NULL, TRUE};
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, &inheritable, 1 << 16)) {
    run.failure = "CreatePipe failed";
    return run;
  }
  SetHandleInformation(readEnd, HANDLE_FLAG_INHERIT, 0);

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
  for (const std::string& argument : options.arguments) commandLine += " " + Quoted(argument);

  const Stopwatch clock;
  PROCESS_INFORMATION child = {};
  // CREATE_NO_WINDOW gives the child a console of its own with no window;
  // DETACHED_PROCESS gives it none.
  const DWORD creation = options.withConsole ? CREATE_NO_WINDOW : DETACHED_PROCESS;
  if (!CreateProcessA(path.c_str(), &commandLine[0], NULL, NULL, TRUE, creation, NULL, NULL,
                      &startup, &child)) {
    run.failure =
        "CreateProcess failed for " + path + " (error " + std::to_string(GetLastError()) + ")";
    CloseHandle(readEnd);
    CloseHandle(writeEnd);
    return run;
  }
  CloseHandle(writeEnd);

  HANDLE input = INVALID_HANDLE_VALUE;
  if (options.withConsole) {
    input = OpenChildConsoleInput(child, clock, options.timeoutSeconds);
    if (input == INVALID_HANDLE_VALUE && !Exited(child.hProcess))
      run.failure =
          "could not open the child's console input (error " + std::to_string(GetLastError()) + ")";
  }

  bool earlyKeyTyped = false, finalKeyTyped = false;
  double keyWaitSince = -1;
  while (run.failure.empty()) {
    if (clock.Seconds() > options.timeoutSeconds) {
      run.timedOut = true;
      TerminateProcess(child.hProcess, 1);
      WaitForSingleObject(child.hProcess, INFINITE);
      break;
    }
    // Whether it had ended is asked before the last read, so that all it
    // wrote is in.
    const bool exited = Exited(child.hProcess);
    const bool pipeOpen = ReadAvailable(readEnd, run, clock);
    if (exited) {
      if (options.withConsole && options.typeFinalKey && !finalKeyTyped)
        run.endedBeforeFinalKey = true;
      break;
    }
    if (!pipeOpen) {
      // Standard output closed, the process still running: wait for its end.
      WaitForSingleObject(child.hProcess, 1);
      continue;
    }

    if (input != INVALID_HANDLE_VALUE) {
      // The early key goes in once the first result line is out and the
      // closing line is not: at least three runs and their pauses before the
      // program flushes the input, however late this driver got to see the
      // output.
      const bool duringRuns = run.output.find("\tcycles for ") != std::string::npos &&
                              run.output.find(ClosingLine) == std::string::npos;
      if (options.typeEarlyKey && !earlyKeyTyped && duringRuns) {
        earlyKeyTyped = true;
        run.earlyKeyQueued = TypeKey(input, L'e', 'E', 0x12) && PendingEvents(input) >= 2;
      }
      if (run.closingLineSeconds < 0 && run.output.find(ClosingLine) != std::string::npos)
        run.closingLineSeconds =
            ArrivalOf(run, run.output.find(ClosingLine) + sizeof ClosingLine - 2);
      // The program empties the input buffer as its key wait begins; a key
      // typed before that would be discarded with the rest.
      if (run.closingLineSeconds >= 0 && keyWaitSince < 0 && PendingEvents(input) == 0) {
        keyWaitSince = clock.Seconds();
        run.sawKeyWait = true;
      }
      if (options.typeFinalKey && !finalKeyTyped && keyWaitSince >= 0 &&
          clock.Seconds() - keyWaitSince >= options.keyWaitCheckSeconds) {
        finalKeyTyped = true;
        if (!TypeKey(input, L'k', 'K', 0x25))
          run.failure = "could not type into the child's console";
      }
    }
    Sleep(1);
  }

  if (!run.failure.empty() && !Exited(child.hProcess)) {
    TerminateProcess(child.hProcess, 1);
    WaitForSingleObject(child.hProcess, INFINITE);
  }
  DWORD exitCode = 259;
  GetExitCodeProcess(child.hProcess, &exitCode);
  run.exitCode = exitCode;
  if (input != INVALID_HANDLE_VALUE) CloseHandle(input);
  if (options.withConsole) FreeConsole();
  CloseHandle(child.hThread);
  CloseHandle(child.hProcess);
  CloseHandle(readEnd);
  return run;
}
