// POSIX stand-ins for the Windows calls in platform.h.
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

int HandleToFd(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
HANDLE FdToHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }

int OpenTerminal() { return open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); }

// The terminal that _kbhit and _getch read and whose echo is off while the
// program runs, opened on first use.
int TerminalFd = -2;

int Terminal() {
  if (TerminalFd == -2) TerminalFd = OpenTerminal();
  return TerminalFd;
}

// The terminal's settings as the program found them, put back on every way
// out and before a stop, and those it set: no echo from the first write on,
// as a console shows no key until it is read; key mode at the key wait.
struct termios SavedSettings, SetSettings;
volatile std::sig_atomic_t SettingsSet = 0;
volatile std::sig_atomic_t KeyModeSet = 0;
// Set when the process goes on after a stop: whatever stopped it (Ctrl-Z, a
// debugger, kill -STOP), the shell may have put its own settings back since.
volatile std::sig_atomic_t Continued = 0;

// After a key, the rest of the key press still to come: the bytes of an
// escape sequence or of a paste may arrive a moment apart.
const DWORD KeyPressMilliseconds = 50;

void RestoreTerminal() {
  if (SettingsSet) {
    tcsetattr(TerminalFd, TCSANOW, &SavedSettings);
    SettingsSet = 0;
  }
}

// Ctrl-C and every other signal that ends the process, and Ctrl-Z: put the
// terminal back, then take the signal's default action, as terminal
// programs do. After a stop, the echo goes off again as the process goes on
// (below), and key mode with the key wait's next _kbhit, each saving anew
// the settings the shell left.
void RestoreThenDefault(int signalNumber) {
  const int savedErrno = errno;
  RestoreTerminal();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
  errno = savedErrno;
}

// The signals whose default action ends the process, and SIGTSTP, which
// stops it; SIGPIPE is left out, as the program ignores it. The real-time
// signals end it as well.
const int EndingSignals[] = {SIGHUP,    SIGINT,  SIGQUIT,   SIGILL,  SIGTRAP, SIGABRT,
                             SIGBUS,    SIGFPE,  SIGUSR1,   SIGSEGV, SIGUSR2, SIGALRM,
                             SIGTERM,   SIGXCPU, SIGVTALRM, SIGPROF, SIGIO,   SIGSYS,
#ifdef SIGSTKFLT
                             SIGSTKFLT,
#endif
#ifdef SIGPWR
                             SIGPWR,
#endif
                             SIGTSTP};

// Those of them that restore the terminal: the ones found at their default
// action when the terminal was first set. One the parent ignored stays
// ignored (SIGHUP under nohup, Ctrl-C for a script's background job), and
// one a sanitizer handles keeps its handler.
sigset_t RestoringSignals;
bool RestoringSignalsChosen = false;

void AddIfDefault(int signalNumber) {
  struct sigaction found;
  if (sigaction(signalNumber, nullptr, &found) == 0 && !(found.sa_flags & SA_SIGINFO) &&
      found.sa_handler == SIG_DFL)
    sigaddset(&RestoringSignals, signalNumber);
}

void ChooseRestoringSignals() {
  if (RestoringSignalsChosen) return;
  sigemptyset(&RestoringSignals);
  for (int signalNumber : EndingSignals) AddIfDefault(signalNumber);
  for (int signalNumber = SIGRTMIN; signalNumber <= SIGRTMAX; ++signalNumber)
    AddIfDefault(signalNumber);
  RestoringSignalsChosen = true;
}

// Whether the terminal is as the program set it: stopped and continued with
// nobody changing its settings in between.
bool StillAsSet(const struct termios& found) {
  return found.c_lflag == SetSettings.c_lflag && found.c_iflag == SetSettings.c_iflag &&
         found.c_cc[VMIN] == SetSettings.c_cc[VMIN] && found.c_cc[VTIME] == SetSettings.c_cc[VTIME];
}

void NoteContinued(int);

// No echo; in key mode also non-canonical, and no flow control, so that
// Ctrl-S is a key like any other. Key mode includes the lack of echo, so a
// write after the key wait leaves it. Taken up again after every stop.
void SetTerminal(int fd, bool keyMode) {
  if (SettingsSet && !Continued && (KeyModeSet || !keyMode)) return;
  Continued = 0;
  ChooseRestoringSignals();
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RestoreThenDefault;
  action.sa_flags = SA_RESTART;  // the calls Ctrl-Z interrupts go on after it
  action.sa_mask = RestoringSignals;
  for (int signalNumber = 1; signalNumber < NSIG; ++signalNumber)
    if (sigismember(&RestoringSignals, signalNumber) == 1)
      sigaction(signalNumber, &action, nullptr);
  action.sa_handler = NoteContinued;
  sigaction(SIGCONT, &action, nullptr);
  // The signals are held off while the settings are saved and changed: a
  // restore in between would put back half-saved settings, or leave them set
  // and SettingsSet clear, and the next call would save the program's own
  // settings as those to put back.
  sigset_t held = RestoringSignals, before;
  sigaddset(&held, SIGCONT);
  sigprocmask(SIG_BLOCK, &held, &before);
  struct termios found;
  if (tcgetattr(fd, &found) == 0) {
    if (!SettingsSet || !StillAsSet(found)) SavedSettings = found;
    SetSettings = SavedSettings;
    SetSettings.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    if (keyMode) {
      SetSettings.c_lflag &= ~static_cast<tcflag_t>(ICANON);
      SetSettings.c_iflag &= ~static_cast<tcflag_t>(IXON);
      SetSettings.c_cc[VMIN] = 1;
      SetSettings.c_cc[VTIME] = 0;
    }
    KeyModeSet = keyMode;
    SettingsSet = tcsetattr(fd, TCSANOW, &SetSettings) == 0;
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

// The echo goes off only while the process is in the terminal's foreground:
// a job in the background leaves the terminal to the shell.
void EchoOff() {
  const int fd = Terminal();
  if (fd >= 0 && tcgetpgrp(fd) == getpgrp()) SetTerminal(fd, false);
}

// Outside the key wait the echo goes off again at once, as the process goes
// on; key mode is taken up again by the key wait's next _kbhit.
void NoteContinued(int) {
  const int savedErrno = errno;
  Continued = 1;
  if (!KeyModeSet) EchoOff();
  errno = savedErrno;
}

bool FirstWrite = true;

}  // namespace

HANDLE GetStdHandle(DWORD which) {
  return which == STD_OUTPUT_HANDLE ? FdToHandle(STDOUT_FILENO) : INVALID_HANDLE_VALUE;
}

BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, DWORD* written, void*) {
  if (FirstWrite) {
    signal(SIGPIPE, SIG_IGN);
    // Also when the process ends by returning from main.
    std::atexit(RestoreTerminal);
    FirstWrite = false;
  }
  EchoOff();
  ssize_t result = write(HandleToFd(file), bytes, count);
  if (written) *written = result < 0 ? 0 : static_cast<DWORD>(result);
  return result >= 0;
}

HANDLE CreateFileA(const char* name, DWORD, DWORD, void*, DWORD, DWORD, HANDLE) {
  if (std::strcmp(name, "CONIN$") != 0) return INVALID_HANDLE_VALUE;
  int fd = OpenTerminal();
  return fd < 0 ? INVALID_HANDLE_VALUE : FdToHandle(fd);
}

BOOL CloseHandle(HANDLE handle) { return close(HandleToFd(handle)) == 0; }

BOOL FlushConsoleInputBuffer(HANDLE console) {
  return console != INVALID_HANDLE_VALUE && tcflush(HandleToFd(console), TCIFLUSH) == 0;
}

void Sleep(DWORD milliseconds) {
  struct timespec left = {static_cast<time_t>(milliseconds / 1000),
                          static_cast<long>(milliseconds % 1000) * 1000000L};
  while (nanosleep(&left, &left) != 0 && errno == EINTR) {
  }
}

// The pseudo handle, as on Windows; the priority calls only ever name the own process.
HANDLE GetCurrentProcess() { return FdToHandle(-1); }

BOOL SetPriorityClass(HANDLE, DWORD priorityClass) {
  int nice;
  switch (priorityClass) {
    case IDLE_PRIORITY_CLASS: nice = 19; break;
    case BELOW_NORMAL_PRIORITY_CLASS: nice = 5; break;
    case NORMAL_PRIORITY_CLASS: nice = 0; break;
    case ABOVE_NORMAL_PRIORITY_CLASS: nice = -5; break;
    case HIGH_PRIORITY_CLASS: nice = -10; break;
    default: return 0;
  }
  return setpriority(PRIO_PROCESS, 0, nice) == 0;
}

DWORD GetPriorityClass(HANDLE) {
  errno = 0;
  int nice = getpriority(PRIO_PROCESS, 0);
  if (nice == -1 && errno != 0) return 0;
  if (nice <= -10) return HIGH_PRIORITY_CLASS;
  if (nice < 0) return ABOVE_NORMAL_PRIORITY_CLASS;
  if (nice == 0) return NORMAL_PRIORITY_CLASS;
  if (nice < 19) return BELOW_NORMAL_PRIORITY_CLASS;
  return IDLE_PRIORITY_CLASS;
}

void ExitProcess(UINT exitCode) {
  RestoreTerminal();
  _exit(static_cast<int>(exitCode));
}

int _kbhit() {
  int fd = Terminal();
  if (fd < 0) return 0;
  SetTerminal(fd, true);
  struct pollfd waiting = {fd, POLLIN, 0};
  if (poll(&waiting, 1, 0) <= 0) return 0;
  // A terminal that has hung up will never deliver a key: let the wait end.
  return (waiting.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int _getch() {
  int fd = Terminal();
  if (fd < 0) return -1;
  SetTerminal(fd, true);
  unsigned char key;
  if (read(fd, &key, 1) != 1) return -1;
  // One key press is taken whole, as a Windows console hands over one key
  // event: what came with the key would otherwise reach the shell.
  Sleep(KeyPressMilliseconds);
  tcflush(fd, TCIFLUSH);
  return key;
}
