// Machine code as bytes, for the tests that read timed routines from memory
// and compare them with the encodings written out by hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using Bytes = std::vector<std::uint8_t>;

// Whether the code is 64-bit, where the pointer is a 64-bit register.
#if defined(__x86_64__)
inline const bool Wide = true;
#else
inline const bool Wide = false;
#endif

inline Bytes operator+(Bytes first, const Bytes& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// The bytes as hexadecimal pairs, for a message that shows where code differs.
inline std::string Hex(const std::uint8_t* bytes, std::size_t count) {
  std::ostringstream text;
  for (std::size_t i = 0; i < count; ++i) {
    static const char digits[] = "0123456789abcdef";
    text << (i ? " " : "") << digits[bytes[i] >> 4] << digits[bytes[i] & 15];
  }
  return text.str();
}
