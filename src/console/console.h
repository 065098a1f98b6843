// Writing texts, measuring them, turning numbers into text, waiting for a key.
#pragma once

#include <cstddef>
#include <cstdint>

// Room for the decimal text of any 32-bit value ("-2147483648" and its NUL
// take 12 bytes) and for the bytes TextLength may read behind the NUL.
const int NumberTextSize = 20;
using NumberText = char[NumberTextSize];

// A fixed text with three spare bytes behind its NUL, so that TextLength's
// whole-word reads never leave the object.
template <std::size_t N>
struct PaddedText {
  char bytes[N + 3] = {};
  constexpr PaddedText(const char (&text)[N]) {
    for (std::size_t i = 0; i < N; ++i) bytes[i] = text[i];
  }
};

// Writes the bytes before the NUL to standard output in one write.
void PrintText(const char* text);

// The number of bytes before the first NUL. Reads whole 4-byte groups, so up
// to three bytes behind the NUL must be readable.
std::uint32_t TextLength(const char* text);

// Writes the decimal text of value and a NUL into out.
void FormatSigned(std::int32_t value, char* out);

// Discards keys typed so far, then waits for one new key and consumes it.
// Returns at once where there is no console or terminal to read a key from.
void WaitKey();
