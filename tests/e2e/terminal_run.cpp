#include "terminal_run.h"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;

const char ClosingLine[] = "--- ok ---\r";

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

// In the child: a session of its own with the terminal as controlling
// terminal, standard input and standard error; standard output the pipe.
[[noreturn]] void ExecOnTerminal(const std::string& program, const TerminalRunOptions& options,
                                 const Terminal& terminal, int outputEnd) {
  setsid();
  int tty = open(terminal.slavePath.c_str(), O_RDWR);
  if (tty < 0) _exit(126);
  dup2(tty, STDIN_FILENO);
  dup2(tty, STDERR_FILENO);
  dup2(outputEnd, STDOUT_FILENO);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& argument : options.arguments)
    argv.push_back(const_cast<char*>(argument.c_str()));
  argv.push_back(nullptr);
  execv(program.c_str(), argv.data());
  _exit(127);
}

bool InKeyMode(int slave) {
  struct termios settings;
  return tcgetattr(slave, &settings) == 0 && (settings.c_lflag & ICANON) == 0;
}

// A sanitized build reports on standard error, which is the terminal: pass
// the report on to this process's standard error, or it would be lost and
// the test would only see the child's status.
void ShowSanitizerReport(int master, std::string& shown) {
  struct pollfd end = {master, POLLIN, 0};
  char chunk[4096];
  ssize_t got;
  while (poll(&end, 1, 0) > 0 && (end.revents & POLLIN) && (got = read(master, chunk, sizeof chunk)) > 0)
    shown.append(chunk, static_cast<size_t>(got));
  // AddressSanitizer names itself; UndefinedBehaviorSanitizer, when it aborts,
  // only says "runtime error".
  if (shown.find("Sanitizer") == std::string::npos && shown.find(": runtime error: ") == std::string::npos)
    return;
  const std::string heading = "--- the terminal of the program showed:\n";
  (void)!write(STDERR_FILENO, heading.data(), heading.size());
  (void)!write(STDERR_FILENO, shown.data(), shown.size());
}

}  // namespace

double ArrivalOf(const TerminalRun& run, size_t offset) {
  return offset < run.arrivalSeconds.size() ? run.arrivalSeconds[offset] : -1;
}

TerminalRun RunOnTerminal(const std::string& program, const TerminalRunOptions& options) {
  TerminalRun run;
  Terminal terminal;
  int outputEnds[2];
  if (!OpenTerminal(terminal) || pipe2(outputEnds, O_CLOEXEC) != 0) return run;
  const Clock::time_point start = Clock::now();
  pid_t child = fork();
  if (child == 0) ExecOnTerminal(program, options, terminal, outputEnds[1]);
  close(outputEnds[1]);

  std::string shown;  // what the terminal showed
  bool earlyKeyTyped = false, finalKeyTyped = false, outputEnded = false, exited = false;
  double keyWaitSince = -1;
  while (!(outputEnded && exited)) {
    const double now = SecondsSince(start);
    if (now > options.timeoutSeconds) {
      run.timedOut = true;
      kill(child, SIGKILL);
      waitpid(child, &run.status, 0);
      break;
    }
    struct pollfd ends[2] = {{outputEnded ? -1 : outputEnds[0], POLLIN, 0},
                             {terminal.master, POLLIN, 0}};
    poll(ends, 2, 5);
    char chunk[4096];
    if (ends[0].revents) {
      ssize_t got = read(outputEnds[0], chunk, sizeof chunk);
      if (got <= 0) {
        outputEnded = true;
      } else {
        run.output.append(chunk, static_cast<size_t>(got));
        run.arrivalSeconds.resize(run.output.size(), SecondsSince(start));
      }
    }
    if (ends[1].revents & POLLIN) {  // echoes, and whatever the child wrote to standard error
      ssize_t got = read(terminal.master, chunk, sizeof chunk);
      if (got > 0) shown.append(chunk, static_cast<size_t>(got));
    }

    if (!exited && waitpid(child, &run.status, WNOHANG) == child) {
      exited = true;
      if (options.typeFinalKey && !finalKeyTyped) run.endedBeforeFinalKey = true;
    }
    if (options.typeEarlyKey && !earlyKeyTyped && run.output.find("\tcycles for ") != std::string::npos) {
      (void)!write(terminal.master, "e", 1);
      earlyKeyTyped = true;
    }
    if (run.closingLineSeconds < 0 && run.output.find(ClosingLine) != std::string::npos)
      run.closingLineSeconds = ArrivalOf(run, run.output.find(ClosingLine) + sizeof ClosingLine - 2);
    if (run.closingLineSeconds >= 0 && keyWaitSince < 0 && InKeyMode(terminal.slave)) {
      keyWaitSince = SecondsSince(start);
      run.sawKeyWait = true;
    }
    if (options.typeFinalKey && !finalKeyTyped && keyWaitSince >= 0 && !exited &&
        SecondsSince(start) - keyWaitSince >= options.keyWaitCheckSeconds) {
      (void)!write(terminal.master, "k", 1);
      finalKeyTyped = true;
    }
  }
  close(outputEnds[0]);
  ShowSanitizerReport(terminal.master, shown);
  close(terminal.master);
  close(terminal.slave);
  return run;
}
