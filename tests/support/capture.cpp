#include "capture.h"

#ifdef _WIN32

#include <windows.h>

std::string CaptureStandardOutput(const std::function<void()>& call) {
  HANDLE readEnd, writeEnd;
  if (!CreatePipe(&readEnd, &writeEnd, NULL, 1 << 16)) return "<no pipe>";
  HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
  SetStdHandle(STD_OUTPUT_HANDLE, writeEnd);
  call();
  SetStdHandle(STD_OUTPUT_HANDLE, saved);
  CloseHandle(writeEnd);
  std::string bytes;
  char chunk[4096];
  DWORD got;
  while (ReadFile(readEnd, chunk, sizeof chunk, &got, NULL) && got > 0) bytes.append(chunk, got);
  CloseHandle(readEnd);
  return bytes;
}

#else

#include <unistd.h>

std::string CaptureStandardOutput(const std::function<void()>& call) {
  int ends[2];
  if (pipe(ends) != 0) return "<no pipe>";
  int saved = dup(STDOUT_FILENO);
  dup2(ends[1], STDOUT_FILENO);
  close(ends[1]);
  call();
  dup2(saved, STDOUT_FILENO);
  close(saved);
  std::string bytes;
  char chunk[4096];
  ssize_t got;
  while ((got = read(ends[0], chunk, sizeof chunk)) > 0)
    bytes.append(chunk, static_cast<size_t>(got));
  close(ends[0]);
  return bytes;
}

#endif
