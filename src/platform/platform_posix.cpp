// POSIX stand-ins for the Windows calls in platform.h.
#include "platform/platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>

namespace {

int HandleToFd(HANDLE handle) { return static_cast<int>(reinterpret_cast<std::intptr_t>(handle)); }
HANDLE FdToHandle(int fd) { return reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(fd)); }

int OpenTerminal() { return open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC); }

// The terminal that _kbhit and _getch read, opened on first use.
int KeyFd = -2;

int KeyTerminal() {
  if (KeyFd == -2) KeyFd = OpenTerminal();
  return KeyFd;
}

// The terminal's settings from before key mode, put back on every way out
// and before a stop.
struct termios SavedSettings;
volatile std::sig_atomic_t InKeyMode = 0;

void RestoreTerminal() {
  if (InKeyMode) {
    tcsetattr(KeyFd, TCSANOW, &SavedSettings);
    InKeyMode = 0;
  }
}

// Ctrl-C and the other ending signals, and Ctrl-Z: put the terminal back,
// then take the signal's default action, as terminal programs do. A stopped
// process goes on in the key wait, whose next _kbhit takes up key mode and
// this handler again, saving anew the settings the shell left.
void RestoreThenDefault(int signalNumber) {
  const int savedErrno = errno;
  RestoreTerminal();
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
  errno = savedErrno;
}

const int RestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT, SIGTSTP};

void EnterKeyMode(int fd) {
  if (InKeyMode) return;
  struct sigaction action;
  std::memset(&action, 0, sizeof action);
  action.sa_handler = RestoreThenDefault;
  action.sa_flags = SA_RESTART;  // the calls Ctrl-Z interrupts go on after it
  sigemptyset(&action.sa_mask);
  for (int signalNumber : RestoringSignals) sigaddset(&action.sa_mask, signalNumber);
  for (int signalNumber : RestoringSignals) sigaction(signalNumber, &action, nullptr);
  // Ctrl-Z is held off while the settings are saved and changed: its restore
  // in between would leave key mode set and InKeyMode clear, and the next
  // call would save key mode as the settings to put back.
  sigset_t stop, before;
  sigemptyset(&stop);
  sigaddset(&stop, SIGTSTP);
  sigprocmask(SIG_BLOCK, &stop, &before);
  if (tcgetattr(fd, &SavedSettings) == 0) {
    struct termios keys = SavedSettings;
    keys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    keys.c_cc[VMIN] = 1;
    keys.c_cc[VTIME] = 0;
    InKeyMode = 1;
    if (tcsetattr(fd, TCSANOW, &keys) != 0) InKeyMode = 0;
  }
  sigprocmask(SIG_SETMASK, &before, nullptr);
}

bool IgnoringBrokenPipes = false;

}  // namespace

HANDLE GetStdHandle(DWORD which) {
  return which == STD_OUTPUT_HANDLE ? FdToHandle(STDOUT_FILENO) : INVALID_HANDLE_VALUE;
}

BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, DWORD* written, void*) {
  if (!IgnoringBrokenPipes) {
    signal(SIGPIPE, SIG_IGN);
    IgnoringBrokenPipes = true;
  }
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
  int fd = KeyTerminal();
  if (fd < 0) return 0;
  EnterKeyMode(fd);
  struct pollfd waiting = {fd, POLLIN, 0};
  if (poll(&waiting, 1, 0) <= 0) return 0;
  // A terminal that has hung up will never deliver a key: let the wait end.
  return (waiting.revents & (POLLIN | POLLHUP | POLLERR)) != 0;
}

int _getch() {
  int fd = KeyTerminal();
  if (fd < 0) return -1;
  EnterKeyMode(fd);
  unsigned char key;
  return read(fd, &key, 1) == 1 ? key : -1;
}
