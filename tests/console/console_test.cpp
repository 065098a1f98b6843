#include "console/console.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <string>

#include "capture.h"

namespace {

std::string Formatted(std::int32_t value) {
  NumberText text;
  std::memset(text, 'x', sizeof text);
  FormatSigned(value, text);
  return std::string(text);
}

TEST(FormatSigned, WritesPlainDecimalText) {
  EXPECT_EQ(Formatted(0), "0");
  EXPECT_EQ(Formatted(7), "7");
  EXPECT_EQ(Formatted(-7), "-7");
  EXPECT_EQ(Formatted(10), "10");
  EXPECT_EQ(Formatted(-10), "-10");
  EXPECT_EQ(Formatted(1234567890), "1234567890");
  EXPECT_EQ(Formatted(INT_MAX), "2147483647");
  EXPECT_EQ(Formatted(INT_MIN), "-2147483648");
}

TEST(FormatSigned, WritesNothingBehindTheNul) {
  NumberText text;
  std::memset(text, 'x', sizeof text);
  FormatSigned(INT_MIN, text);
  EXPECT_EQ(text[11], '\0');
  for (int i = 12; i < NumberTextSize; ++i) EXPECT_EQ(text[i], 'x') << "byte " << i;
}

TEST(TextLength, CountsShortTexts) {
  constexpr PaddedText empty{""};
  constexpr PaddedText lineEnd{"\r\n"};
  EXPECT_EQ(TextLength(empty.bytes), 0u);
  EXPECT_EQ(TextLength(lineEnd.bytes), 2u);
}

// A terminator at every offset of the first three rounds: every byte of a
// group, every group of a round, with bytes of every value before it.
TEST(TextLength, FindsTheTerminatorAtEveryOffset) {
  for (unsigned length = 0; length < 48; ++length) {
    char text[64];
    for (unsigned i = 0; i < sizeof text; ++i) text[i] = static_cast<char>(0x80 + (i * 37) % 0x80);
    for (unsigned i = 0; i < length; i += 3) text[i] = static_cast<char>(1 + i);
    text[length] = '\0';
    EXPECT_EQ(TextLength(text), length) << "terminator at " << length;
  }
}

// Bytes that the word test flags falsely (a 0x01 above a zero borrows into
// 0x80) must not hide the real terminator below them.
TEST(TextLength, IsNotMisledByTheBorrowAboveAZero) {
  const char zeroThenOnes[8] = {'a', '\0', '\x01', '\x01', 0, 0, 0, 0};
  const char highBytes[8] = {'\x80', '\xff', '\x81', '\0', '\x01', 0, 0, 0};
  const char allHigh[20] = "\xff\xfe\x80\x80\x80\xff\x81\x90\xa0\xb0\xc0\xd0\xe0\xf0\x80\x7f\x01";
  EXPECT_EQ(TextLength(zeroThenOnes), 1u);
  EXPECT_EQ(TextLength(highBytes), 3u);
  EXPECT_EQ(TextLength(allHigh), 17u);
}

TEST(PrintText, WritesExactlyTheBytesBeforeTheNul) {
  constexpr PaddedText mixed{"\t\x80\xff 100*and\r\n"};
  EXPECT_EQ(CaptureStandardOutput([&] { PrintText(mixed.bytes); }), "\t\x80\xff 100*and\r\n");
  constexpr PaddedText empty{""};
  EXPECT_EQ(CaptureStandardOutput([&] { PrintText(empty.bytes); }), "");
  const char stopsAtNul[8] = {'a', 'b', '\0', 'c', 'd', 0, 0, 0};
  EXPECT_EQ(CaptureStandardOutput([&] { PrintText(stopsAtNul); }), "ab");
}

}  // namespace
