#include "console/console.h"

#include <cstring>

#include "platform/platform.h"

namespace {

// Bit 7 of each byte of the group that may be a zero byte. The lowest flagged
// byte is always a real zero: only bytes above a zero can be flagged falsely,
// through the borrow.
std::uint32_t ZeroFlags(const char* group) {
  std::uint32_t word;
  std::memcpy(&word, group, sizeof word);
  return (word - 0x01010101u) & ~word & 0x80808080u;
}

// The index, 0 to 3, of the lowest flagged byte of a group.
std::uint32_t LowestFlagged(std::uint32_t flags) {
  std::uint32_t index = 0;
  if ((flags & 0x8080u) == 0) {
    flags >>= 16;
    index = 2;
  }
  return index + ((flags & 0x80u) ? 0 : 1);
}

void ReverseBytes(char* first, char* last) {
  while (first < last) {
    char byte = *first;
    *first++ = *last;
    *last-- = byte;
  }
}

}  // namespace

void PrintText(const char* text) {
  HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
  DWORD written;
  WriteFile(output, text, TextLength(text), &written, NULL);
}

std::uint32_t TextLength(const char* text) {
  for (std::uint32_t offset = 0;; offset += 16) {
    std::uint32_t flags;
    if ((flags = ZeroFlags(text + offset)) != 0) return offset + LowestFlagged(flags);
    if ((flags = ZeroFlags(text + offset + 4)) != 0) return offset + 4 + LowestFlagged(flags);
    if ((flags = ZeroFlags(text + offset + 8)) != 0) return offset + 8 + LowestFlagged(flags);
    if ((flags = ZeroFlags(text + offset + 12)) != 0) return offset + 12 + LowestFlagged(flags);
  }
}

void FormatSigned(std::int32_t value, char* out) {
  if (value == 0) {
    out[0] = '0';
    out[1] = '\0';
    return;
  }
  std::uint32_t magnitude = static_cast<std::uint32_t>(value);
  char* digits = out;
  if (value < 0) {
    *digits++ = '-';
    magnitude = 0u - magnitude;
  }
  char* end = digits;
  while (magnitude > 0) {
    *end++ = static_cast<char>('0' + magnitude % 10);
    magnitude /= 10;
  }
  *end = '\0';
  ReverseBytes(digits, end - 1);
}

void WaitKey() {
  // The console's own input, whatever standard input is: with no console at
  // all no key can ever arrive, so there is nothing to wait for.
  HANDLE console = CreateFileA("CONIN$", GENERIC_READ | GENERIC_WRITE,
                               FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
  if (console == INVALID_HANDLE_VALUE) return;
  FlushConsoleInputBuffer(console);
  CloseHandle(console);
  do {
    Sleep(1);
  } while (!_kbhit());
  _getch();
}
