#include "terminal_run.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>

namespace {

using Clock = std::chrono::steady_clock;

const char ClosingLine[] = "--- ok ---\r";
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

// A sanitized build reports on standard error, which is the terminal where
// the child has one: pass the report on to this process's standard error, or
// it would be lost and the test would only see the child's status.
void ShowSanitizerReport(int master, std::string& shown) {
  struct pollfd end = {master, POLLIN, 0};
  char chunk[4096];
  ssize_t got;
  while (poll(&end, 1, 0) > 0 && (end.revents & POLLIN) &&
         (got = read(master, chunk, sizeof chunk)) > 0)
    shown.append(chunk, static_cast<size_t>(got));
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

}  // namespace

std::string TestEmulator() { return ZEROBENCH_EMULATOR; }

double ArrivalOf(const TerminalRun& run, size_t offset) {
  return offset < run.arrivalSeconds.size() ? run.arrivalSeconds[offset] : -1;
}

TerminalRun RunOnTerminal(const std::string& program, const TerminalRunOptions& options) {
  TerminalRun run;
  Terminal terminal;
  int outputEnds[2];
  struct termios before;
  if (!OpenTerminal(terminal) || pipe2(outputEnds, O_CLOEXEC) != 0 ||
      tcgetattr(terminal.slave, &before) != 0)
    return run;
  const Clock::time_point start = Clock::now();
  const pid_t child = fork();
  if (child < 0) return run;
  if (child == 0) ExecChild(program, options, terminal, outputEnds[1]);
  close(outputEnds[1]);
  run.started = true;

  std::string& shown = run.shown;
  const bool outputVisible = options.output == ChildOutput::Pipe;
  int outputFd = outputEnds[0];
  bool earlyKeyTyped = false, stopSent = false, exited = false;
  const bool stopAtKeyWait =
      options.stop == Stop::CtrlZAtKeyWait || options.stop == Stop::SignalAtKeyWait;
  const bool interruptWait = options.interrupt == Interrupt::DuringKeyWait;
  const std::vector<std::string> finalKey =
      interruptWait ? std::vector<std::string>{std::string(1, CtrlC)} : options.finalKey;
  bool finalKeyTyped = false;
  double keyWaitSince = -1;
  while (!(exited && outputFd < 0)) {
    if (SecondsSince(start) > options.timeoutSeconds) {
      run.timedOut = true;
      kill(child, SIGKILL);
      waitpid(child, &run.status, 0);
      break;
    }
    struct pollfd ends[2] = {{outputFd, POLLIN, 0}, {terminal.master, POLLIN, 0}};
    poll(ends, 2, 5);
    char chunk[4096];
    if (outputFd >= 0 && ends[0].revents) {
      const size_t room = options.output == ChildOutput::ReaderGone
                              ? BytesBeforeReaderGoes - run.output.size()
                              : sizeof chunk;
      const ssize_t got = read(outputFd, chunk, room);
      if (got > 0) {
        run.output.append(chunk, static_cast<size_t>(got));
        run.arrivalSeconds.resize(run.output.size(), SecondsSince(start));
      }
      if (got <= 0 || (options.output == ChildOutput::ReaderGone &&
                       run.output.size() >= BytesBeforeReaderGoes)) {
        close(outputFd);
        outputFd = -1;
      }
    }
    if (ends[1].revents & POLLIN) {  // echoes, and whatever the child wrote to standard error
      ssize_t got = read(terminal.master, chunk, sizeof chunk);
      if (got > 0) shown.append(chunk, static_cast<size_t>(got));
    }

    if (!exited && waitpid(child, &run.status, WNOHANG | WUNTRACED) == child) {
      if (WIFSTOPPED(run.status)) {
        run.stopped = true;
        struct termios now;
        run.restoredWhileStopped =
            tcgetattr(terminal.slave, &now) == 0 && SameSettings(before, now);
        if (options.shellRestoresWhileStopped) tcsetattr(terminal.slave, TCSANOW, &before);
        keyWaitSince = -1;  // the final key waits for key mode again
        kill(child, SIGCONT);
        continue;
      }
      exited = true;
      run.exitSeconds = SecondsSince(start);
      if (options.typeFinalKey && !finalKeyTyped) run.endedBeforeFinalKey = true;
    }
    if (exited) continue;

    // Once the first result line is out and the closing line is not, the
    // key wait (which flushes what was typed) is at least three runs away.
    const bool duringRuns = outputVisible ? run.output.find("\tcycles for ") != std::string::npos &&
                                                run.output.find(ClosingLine) == std::string::npos
                                          : SecondsSince(start) >= EarlyKeySeconds;
    const bool interruptRuns = options.interrupt == Interrupt::DuringRuns;
    if ((options.typeEarlyKey || interruptRuns) && !earlyKeyTyped && duringRuns) {
      (void)!write(terminal.master, interruptRuns ? &CtrlC : "e", 1);
      earlyKeyTyped = true;
    }
    if (options.stop == Stop::SignalDuringRuns && !stopSent && duringRuns) {
      kill(child, SIGSTOP);
      stopSent = true;
    }
    if (run.closingLineSeconds < 0 && run.output.find(ClosingLine) != std::string::npos)
      run.closingLineSeconds =
          ArrivalOf(run, run.output.find(ClosingLine) + sizeof ClosingLine - 2);
    if (keyWaitSince < 0 && InKeyMode(terminal.slave)) {
      keyWaitSince = SecondsSince(start);
      run.sawKeyWait = true;
      run.keyModeAfterContinuing = run.stopped;
      errno = 0;
      run.niceDuringKeyWait = getpriority(PRIO_PROCESS, static_cast<id_t>(child));
    }
    const bool waitedLongEnough =
        keyWaitSince >= 0 && SecondsSince(start) - keyWaitSince >= options.keyWaitCheckSeconds;
    if (stopAtKeyWait && !stopSent && waitedLongEnough) {
      if (options.stop == Stop::CtrlZAtKeyWait)
        (void)!write(terminal.master, &CtrlZ, 1);
      else
        kill(child, SIGSTOP);
      stopSent = true;
    }
    if ((options.typeFinalKey || interruptWait) && !finalKeyTyped && waitedLongEnough &&
        (!stopAtKeyWait || run.stopped)) {
      // The whole key press, whether the program still waits or not.
      for (size_t i = 0; i < finalKey.size(); ++i) {
        if (i > 0) usleep(KeyPieceMicroseconds);
        (void)!write(terminal.master, finalKey[i].data(), finalKey[i].size());
      }
      finalKeyTyped = true;
    }
  }
  struct termios after;
  run.terminalRestored = tcgetattr(terminal.slave, &after) == 0 && SameSettings(before, after);
  if (exited) run.leftForTheShell = PendingInput(terminal.slave);
  if (outputFd >= 0) close(outputFd);
  ShowSanitizerReport(terminal.master, shown);
  close(terminal.master);
  close(terminal.slave);
  return run;
}
