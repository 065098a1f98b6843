// The operating-system calls the rest of zerobench uses, under their Windows
// names. On Windows these are the system's own; elsewhere platform_posix.cpp
// provides each with the effect the Windows call has.
#pragma once

#ifdef _WIN32

// windows.h first, as the Windows headers expect; sorting would swap them.
// clang-format off
#include <windows.h>
#include <conio.h>
// clang-format on

#else

#include <cstdint>

using HANDLE = void*;
using DWORD = std::uint32_t;
using BOOL = int;
using UINT = unsigned int;

#define STD_OUTPUT_HANDLE ((DWORD)-11)
#define INVALID_HANDLE_VALUE ((HANDLE)(std::intptr_t)-1)

#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define FILE_SHARE_READ 0x1u
#define FILE_SHARE_WRITE 0x2u
#define OPEN_EXISTING 3u

#define IDLE_PRIORITY_CLASS 0x40u
#define BELOW_NORMAL_PRIORITY_CLASS 0x4000u
#define NORMAL_PRIORITY_CLASS 0x20u
#define ABOVE_NORMAL_PRIORITY_CLASS 0x8000u
#define HIGH_PRIORITY_CLASS 0x80u

// Standard output is file descriptor 1. Keys are read from the console
// (CreateFileA("CONIN$"), _kbhit, _getch), never from standard input.
HANDLE GetStdHandle(DWORD which);

// One write(2). A closed pipe makes it fail; it never raises a signal. From
// the first write on, the terminal does not echo what is typed (while the
// process is in its foreground), as a console shows no key until it is read.
BOOL WriteFile(HANDLE file, const void* bytes, DWORD count, DWORD* written, void* overlapped);

// Only "CONIN$" is known: the controlling terminal, or INVALID_HANDLE_VALUE
// when the process has none.
HANDLE CreateFileA(const char* name, DWORD access, DWORD share, void* security, DWORD disposition,
                   DWORD flags, HANDLE templateFile);
BOOL CloseHandle(HANDLE handle);

// Discards what has been typed on the terminal and not yet read.
BOOL FlushConsoleInputBuffer(HANDLE console);

// Sleeps the whole time, resuming after interruptions.
void Sleep(DWORD milliseconds);

// The own process. HIGH_PRIORITY_CLASS is nice -10, NORMAL_PRIORITY_CLASS nice 0.
HANDLE GetCurrentProcess();
BOOL SetPriorityClass(HANDLE process, DWORD priorityClass);
DWORD GetPriorityClass(HANDLE process);

// Puts the terminal's settings back, then ends the process; so do Ctrl-C,
// SIGTERM, SIGHUP and SIGQUIT, after which the signal ends it.
[[noreturn]] void ExitProcess(UINT exitCode);

// Keys from the controlling terminal, read in non-canonical, no-echo mode
// without flow control. Ctrl-Z puts the terminal's settings back before the
// process stops; once it goes on after any stop, the next call saves the
// settings it finds and enters that mode again. _getch returns a key press's
// first byte and discards the rest of it (an escape sequence, a paste).
int _kbhit();
int _getch();

#endif
