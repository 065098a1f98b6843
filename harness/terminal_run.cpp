#include "terminal_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstring>

#include "report_shape.h"

namespace {

using Clock = std::chrono::steady_clock;

const char CtrlC = '\x03';
const char CtrlZ = '\x1a';
// Where standard output cannot be read, the early key goes in by time: well
// inside the runs, whose pauses alone take 0.3 s.
const double EarlyKeySeconds = 0.15;
const size_t BytesBeforeReaderGoes = 5;
const useconds_t KeyPieceMicroseconds = 10000;
const uid_t Nobody = 65534;

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

struct Terminal {
  int master = -1;
  int slave = -1;  // kept open here to read the terminal's mode
  std::string slavePath;
};

bool OpenTerminal(Terminal& terminal) {
  terminal.master = posix_openpt(O_RDWR | O_NOCTTY);
  if (terminal.master < 0 || grantpt(terminal.master) != 0 || unlockpt(terminal.master) != 0)
    return false;
  fcntl(terminal.master, F_SETFD, FD_CLOEXEC);
  terminal.slavePath = ptsname(terminal.master);
  terminal.slave = open(terminal.slavePath.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
  return terminal.slave >= 0;
}

bool SameSettings(const struct termios& a, const struct termios& b) {
  return a.c_iflag == b.c_iflag && a.c_oflag == b.c_oflag && a.c_cflag == b.c_cflag &&
         a.c_lflag == b.c_lflag && std::memcmp(a.c_cc, b.c_cc, sizeof a.c_cc) == 0;
}

bool InKeyMode(int slave) {
  struct termios settings;
  return tcgetattr(slave, &settings) == 0 && (settings.c_lflag & ICANON) == 0;
}

// Everything in the terminal's input queue, lines or not; the settings are
// put back afterwards.
std::string PendingInput(int slave) {
  struct termios settings;
  if (tcgetattr(slave, &settings) != 0) return "(settings unreadable)";
  struct termios everything = settings;
  everything.c_lflag &= ~static_cast<tcflag_t>(ICANON);
  everything.c_cc[VMIN] = 0;
  everything.c_cc[VTIME] = 1;  // what was typed last may still be on its way
  tcsetattr(slave, TCSANOW, &everything);
  std::string pending;
  char chunk[256];
  ssize_t got;
  while ((got = read(slave, chunk, sizeof chunk)) > 0)
    pending.append(chunk, static_cast<size_t>(got));
  tcsetattr(slave, TCSANOW, &settings);
  return pending;
}

// Keeps what the terminal showed, up to MostOutputBytes.
void KeepShown(std::string& shown, const char* bytes, size_t count) {
  shown.append(bytes, std::min(count, MostOutputBytes - shown.size()));
}

// A sanitized build reports on standard error, which is the terminal where
// the child has one: pass the report on to this process's standard error, or
// it would be lost and the test would only see the child's status. Whatever
// the child left running may go on writing there: this reads no more than
// MostOutputBytes.
void ShowSanitizerReport(int master, std::string& shown) {
  struct pollfd end = {master, POLLIN, 0};
  char chunk[4096];
  for (size_t taken = 0; taken < MostOutputBytes;) {
    const ssize_t got =
        poll(&end, 1, 0) > 0 && (end.revents & POLLIN) ? read(master, chunk, sizeof chunk) : 0;
    if (got <= 0) break;
    KeepShown(shown, chunk, static_cast<size_t>(got));
    taken += static_cast<size_t>(got);
  }
  // AddressSanitizer names itself; UndefinedBehaviorSanitizer, when it aborts,
  // only says "runtime error".
  if (shown.find("Sanitizer") == std::string::npos &&
      shown.find(": runtime error: ") == std::string::npos)
    return;
  const std::string heading = "--- the terminal of the program showed:\n";
  (void)!write(STDERR_FILENO, heading.data(), heading.size());
  (void)!write(STDERR_FILENO, shown.data(), shown.size());
}

void MoveTo(int fd, int target) {
  if (fd < 0) _exit(ChildSetupFailed);
  if (fd != target) {
    dup2(fd, target);
    close(fd);
  }
}

// Job control stops a process only if its process group has a parent in the
// same session outside the group, as a shell is to its jobs; the child, a
// session leader, has none. So the program runs as the foreground job of the
// child, which stops when the job stops, passes the continue on and ends as
// the job ended: to the test it stands for the program.
void RunAsForegroundJob(int tty) {
  const pid_t job = fork();
  if (job < 0) _exit(ChildSetupFailed);
  if (job == 0) {
    setpgid(0, 0);
    signal(SIGTTOU, SIG_IGN);  // taking the terminal from the background
    tcsetpgrp(tty, getpid());
    signal(SIGTTOU, SIG_DFL);
    return;
  }
  int status;
  while (waitpid(job, &status, WUNTRACED) == job && WIFSTOPPED(status)) {
    raise(SIGSTOP);
    kill(job, SIGCONT);
  }
  if (WIFSIGNALED(status)) {
    signal(WTERMSIG(status), SIG_DFL);
    raise(WTERMSIG(status));
  }
  _exit(WIFEXITED(status) ? WEXITSTATUS(status) : ChildSetupFailed);
}

// In the child: a session of its own, with the terminal as controlling
// terminal where asked, and the standard handles as asked.
[[noreturn]] void ExecChild(const std::string& program, const TerminalRunOptions& options,
                            const Terminal& terminal, int outputEnd) {
  setsid();
  int tty = -1;
  if (options.controllingTerminal) {
    tty = open(terminal.slavePath.c_str(), O_RDWR);  // becomes the controlling terminal
    if (tty < 0) _exit(ChildSetupFailed);
  }
  const int devNull = open("/dev/null", O_RDWR);
  switch (options.input) {
    case ChildInput::Terminal: dup2(tty, STDIN_FILENO); break;
    case ChildInput::Closed: close(STDIN_FILENO); break;
    case ChildInput::File: MoveTo(open(options.file.c_str(), O_RDONLY), STDIN_FILENO); break;
    case ChildInput::DevNull: dup2(devNull, STDIN_FILENO); break;
  }
  dup2(tty >= 0 ? tty : devNull, STDERR_FILENO);
  switch (options.output) {
    case ChildOutput::Pipe:
    case ChildOutput::ReaderGone: dup2(outputEnd, STDOUT_FILENO); break;
    case ChildOutput::Closed: close(STDOUT_FILENO); break;
    case ChildOutput::DevFull: MoveTo(open("/dev/full", O_WRONLY), STDOUT_FILENO); break;
    case ChildOutput::File:
      MoveTo(open(options.file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), STDOUT_FILENO);
      break;
  }
  if (options.ignoredSignal != 0) signal(options.ignoredSignal, SIG_IGN);  // kept across exec
  if (options.stop == Stop::CtrlZAtKeyWait) RunAsForegroundJob(tty);
  if (tty > STDERR_FILENO) close(tty);
  if (devNull > STDERR_FILENO) close(devNull);
  if (options.nice != 0 && setpriority(PRIO_PROCESS, 0, options.nice) != 0) _exit(ChildSetupFailed);
  if (options.asNobody &&
      (setgroups(0, nullptr) != 0 || setgid(Nobody) != 0 || setuid(Nobody) != 0))
    _exit(ChildSetupFailed);

  std::vector<char*> argv;
  if (!options.emulator.empty()) argv.push_back(const_cast<char*>(options.emulator.c_str()));
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : options.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  char* noEnvironment[] = {nullptr};
  execve(argv[0], argv.data(), options.emptyEnvironment ? noEnvironment : environ);
  _exit(ChildSetupFailed);
}

// One run in progress: the terminal, the child, and what has happened so far.
struct Session {
  Session(const TerminalRunOptions& options, TerminalRun& run) : options(options), run(run) {}

  const TerminalRunOptions& options;
  TerminalRun& run;
  Terminal terminal;
  struct termios before = {};  // the terminal's settings before the child started
  Clock::time_point start;
  pid_t child = -1;
  int outputFd = -1;
  std::string& shown = run.shown;  // what the terminal showed
  bool exited = false;
  bool earlyKeyTyped = false, stopSent = false, finalKeyTyped = false;
  double keyWaitSince = -1;

  double Seconds() const { return SecondsSince(start); }
  bool StopAtKeyWait() const {
    return options.stop == Stop::CtrlZAtKeyWait || options.stop == Stop::SignalAtKeyWait;
  }
};

// Opens the terminal and the output pipe, and starts the child on them.
bool StartChild(const std::string& program, Session& s) {
  int outputEnds[2];
  if (!OpenTerminal(s.terminal) || pipe2(outputEnds, O_CLOEXEC) != 0 ||
      tcgetattr(s.terminal.slave, &s.before) != 0)
    return false;
  s.start = Clock::now();
  s.child = fork();
  if (s.child < 0) return false;
  if (s.child == 0) ExecChild(program, s.options, s.terminal, outputEnds[1]);
  close(outputEnds[1]);
  s.outputFd = outputEnds[0];
  return true;
}

// Kills the child, and the process group it leads, once the time is up.
// Only the loop's own wait reaps the child, so until this one neither its
// PID nor its group can name another's processes.
bool TimedOut(Session& s) {
  if (s.Seconds() <= s.options.timeoutSeconds) return false;
  s.run.timedOut = true;
  kill(-s.child, SIGKILL);
  kill(s.child, SIGKILL);
  waitpid(s.child, &s.run.status, 0);
  return true;
}

// Reads at most `most` bytes of standard output; closes it at its end, or
// where the reader is to go. How many it read.
size_t ReadOutput(Session& s, size_t most) {
  char chunk[4096];
  TerminalRun& run = s.run;
  const bool readerGoes = s.options.output == ChildOutput::ReaderGone;
  const size_t room = readerGoes ? BytesBeforeReaderGoes - run.output.size() : sizeof chunk;
  const ssize_t got = read(s.outputFd, chunk, std::min(room, most));
  if (got > 0) run.Take(chunk, static_cast<size_t>(got), s.Seconds());
  if (got <= 0 || (readerGoes && run.output.size() >= BytesBeforeReaderGoes)) {
    close(s.outputFd);
    s.outputFd = -1;
  }
  return got > 0 ? static_cast<size_t>(got) : 0;
}

// Takes in what has arrived on standard output and on the terminal, waiting
// a moment for it.
void ReadWhatArrived(Session& s) {
  struct pollfd ends[2] = {{s.outputFd, POLLIN, 0}, {s.terminal.master, POLLIN, 0}};
  poll(ends, 2, 5);
  if (s.outputFd >= 0 && ends[0].revents) ReadOutput(s, SIZE_MAX);
  if (ends[1].revents & POLLIN) {  // echoes, and whatever the child wrote to standard error
    char chunk[4096];
    const ssize_t got = read(s.terminal.master, chunk, sizeof chunk);
    if (got > 0) KeepShown(s.shown, chunk, static_cast<size_t>(got));
  }
}

// Once the child has ended, all it wrote is in the pipe: that much is read,
// and no more. What it left running (in a session of its own, say) may hold
// the pipe open and go on writing; the run ends with the child.
void ReadTheRest(Session& s) {
  int pending = 0;
  if (s.outputFd < 0 || ioctl(s.outputFd, FIONREAD, &pending) != 0) return;
  for (size_t left = static_cast<size_t>(pending); left > 0 && s.outputFd >= 0;) {
    const size_t got = ReadOutput(s, left);
    if (got == 0) break;
    left -= got;
  }
}

// Notes the child's end, or continues it once stopped, as a shell would.
// True while the child goes on running as it was: only then is there
// anything to type.
bool FollowChild(Session& s) {
  TerminalRun& run = s.run;
  if (s.exited) return false;
  if (waitpid(s.child, &run.status, WNOHANG | WUNTRACED) != s.child) return true;
  if (WIFSTOPPED(run.status)) {
    run.stopped = true;
    struct termios now;
    run.restoredWhileStopped =
        tcgetattr(s.terminal.slave, &now) == 0 && SameSettings(s.before, now);
    if (s.options.shellRestoresWhileStopped) tcsetattr(s.terminal.slave, TCSANOW, &s.before);
    s.keyWaitSince = -1;  // the final key waits for key mode again
    kill(s.child, SIGCONT);
    return false;
  }
  s.exited = true;
  run.exitSeconds = s.Seconds();
  if (s.options.typeFinalKey && !s.finalKeyTyped) run.endedBeforeFinalKey = true;
  return false;
}

// Ctrl-C typed, or another signal sent, as options.interruptSignal says.
void SendInterrupt(Session& s) {
  if (s.options.interruptSignal == SIGINT)
    (void)!write(s.terminal.master, &CtrlC, 1);
  else
    kill(s.child, s.options.interruptSignal);
}

// During the runs: the early key (or the interrupt) and the stop, each once.
void ActDuringRuns(Session& s) {
  const TerminalRunOptions& options = s.options;
  // Amid the runs, the key wait (which flushes what was typed) is at least
  // three runs away.
  const bool duringRuns = options.output == ChildOutput::Pipe ? s.run.progress.AmidTheRuns()
                                                              : s.Seconds() >= EarlyKeySeconds;
  if (!duringRuns) return;
  const bool interruptRuns = options.interrupt == Interrupt::DuringRuns;
  if ((options.typeEarlyKey || interruptRuns) && !s.earlyKeyTyped) {
    if (interruptRuns)
      SendInterrupt(s);
    else
      (void)!write(s.terminal.master, "e", 1);
    s.earlyKeyTyped = true;
  }
  if (options.stop == Stop::SignalDuringRuns && !s.stopSent) {
    kill(s.child, SIGSTOP);
    s.stopSent = true;
  }
}

// When the key wait began, once.
void NoteKeyWait(Session& s) {
  TerminalRun& run = s.run;
  if (s.keyWaitSince < 0 && InKeyMode(s.terminal.slave)) {
    s.keyWaitSince = s.Seconds();
    run.sawKeyWait = true;
    run.keyModeAfterContinuing = run.stopped;
    errno = 0;
    run.niceDuringKeyWait = getpriority(PRIO_PROCESS, static_cast<id_t>(s.child));
  }
}

// The whole final key press, whether the program still waits or not.
void TypeFinalKey(Session& s) {
  const std::vector<std::string>& pieces = s.options.finalKey;
  for (size_t i = 0; i < pieces.size(); ++i) {
    if (i > 0) usleep(KeyPieceMicroseconds);
    (void)!write(s.terminal.master, pieces[i].data(), pieces[i].size());
  }
}

// Once the key wait has lasted long enough: the stop asked for, then the
// final key press (or the interrupt), each once.
void ActAtKeyWait(Session& s) {
  const TerminalRunOptions& options = s.options;
  if (s.keyWaitSince < 0 || s.Seconds() - s.keyWaitSince < options.keyWaitCheckSeconds) return;
  if (s.StopAtKeyWait() && !s.stopSent) {
    if (options.stop == Stop::CtrlZAtKeyWait)
      (void)!write(s.terminal.master, &CtrlZ, 1);
    else
      kill(s.child, SIGSTOP);
    s.stopSent = true;
  }
  const bool interruptWait = options.interrupt == Interrupt::DuringKeyWait;
  if ((options.typeFinalKey || interruptWait) && !s.finalKeyTyped &&
      (!s.StopAtKeyWait() || s.run.stopped)) {
    if (interruptWait)
      SendInterrupt(s);
    else
      TypeFinalKey(s);
    s.finalKeyTyped = true;
  }
}

// After the end: how the terminal was left, and what is left unread on it.
void Finish(Session& s) {
  struct termios after;
  s.run.terminalRestored =
      tcgetattr(s.terminal.slave, &after) == 0 && SameSettings(s.before, after);
  if (s.exited) s.run.leftForTheShell = PendingInput(s.terminal.slave);
  if (s.outputFd >= 0) close(s.outputFd);
  ShowSanitizerReport(s.terminal.master, s.shown);
  close(s.terminal.master);
  close(s.terminal.slave);
}

}  // namespace

std::string TestEmulator() { return ZEROBENCH_EMULATOR; }

TerminalRun RunOnTerminal(const std::string& program, const TerminalRunOptions& options) {
  TerminalRun run;
  Session session(options, run);
  if (!StartChild(program, session)) return run;
  run.started = true;
  while (!session.exited) {
    if (TimedOut(session)) break;
    ReadWhatArrived(session);
    if (!FollowChild(session)) continue;
    ActDuringRuns(session);
    NoteKeyWait(session);
    ActAtKeyWait(session);
  }
  if (session.exited) ReadTheRest(session);
  Finish(session);
  return run;
}
