// TextLength against strlen and FormatSigned against std::to_chars, on many
// generated inputs.
#include "console/console.h"

#include <gtest/gtest.h>

#include <charconv>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace {

// One seed for every generated input, so that a failure comes back the same
// on every run. Values are taken from the engine's raw output, which the
// standard fixes, not from a distribution, whose results it does not.
const std::uint32_t Seed = 20240601;

// Terminator offsets 0 to 71: every byte of a group and every group of a
// round, in the first round and in four later ones.
const unsigned MaxLength = 72;

// A readable page followed by an inaccessible one: reading the byte at End()
// or beyond faults.
class GuardedPage {
 public:
  GuardedPage() {
#ifdef _WIN32
    SYSTEM_INFO info;
    GetSystemInfo(&info);
    size_ = info.dwPageSize;
    void* pages = VirtualAlloc(nullptr, 2 * size_, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
    DWORD previous;
    if (pages != nullptr &&
        VirtualProtect(static_cast<char*>(pages) + size_, size_, PAGE_NOACCESS, &previous))
      base_ = static_cast<char*>(pages);
#else
    size_ = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    void* pages =
        mmap(nullptr, 2 * size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (pages != MAP_FAILED && mprotect(static_cast<char*>(pages) + size_, size_, PROT_NONE) == 0)
      base_ = static_cast<char*>(pages);
#endif
  }
  ~GuardedPage() {
    if (base_ == nullptr) return;
#ifdef _WIN32
    VirtualFree(base_, 0, MEM_RELEASE);
#else
    munmap(base_, 2 * size_);
#endif
  }
  GuardedPage(const GuardedPage&) = delete;
  GuardedPage& operator=(const GuardedPage&) = delete;

  bool Ready() const { return base_ != nullptr; }
  char* End() const { return base_ + size_; }

 private:
  char* base_ = nullptr;
  std::size_t size_ = 0;
};

// Bytes behind a terminator: the borrow of a zero byte turns 0x01 into a
// false flag, 0x80 and above set the flag bit themselves, 0 is a second
// terminator.
unsigned char TrailingByte(std::mt19937& random) {
  static const unsigned char tricky[] = {0x00, 0x01, 0x80, 0xff};
  const std::uint32_t pick = random() % 8;
  return pick < 4 ? tricky[pick] : static_cast<unsigned char>(random());
}

// Writes body, its NUL, three bytes that TextLength may read behind the NUL
// and `slack` more non-zero bytes, ending right at the guard page; returns
// where the text starts. With no slack, the third byte behind the NUL is the
// last readable byte.
const char* PlaceBeforeGuard(const GuardedPage& page, const std::string& body,
                             const unsigned char (&trailing)[3], std::size_t slack,
                             std::mt19937& random) {
  char* text = page.End() - slack - 3 - 1 - body.size();
  std::memcpy(text, body.data(), body.size());
  char* behind = text + body.size();
  *behind++ = '\0';
  for (unsigned char byte : trailing) *behind++ = static_cast<char>(byte);
  while (behind < page.End()) *behind++ = static_cast<char>(1 + random() % 255);
  return text;
}

std::string Hex(const char* bytes, std::size_t count) {
  std::string hex;
  char digits[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02x ", static_cast<unsigned char>(bytes[i]));
    hex += digits;
  }
  return hex;
}

// Counts the texts whose TextLength differs from strlen and keeps the first
// one, so that a broken scan gives one readable failure, not thousands.
struct Mismatches {
  unsigned count = 0;
  std::string first;

  void Check(const char* text) {
    const std::size_t expected = std::strlen(text);
    const std::uint32_t got = TextLength(text);
    if (got == expected) return;
    if (count++ == 0)
      first = "TextLength gave " + std::to_string(got) + ", strlen " + std::to_string(expected) +
              ", text at address mod 16 = " +
              std::to_string(reinterpret_cast<std::uintptr_t>(text) % 16) + ": " +
              Hex(text, expected + 4);
  }
};

std::string RandomBody(std::mt19937& random, unsigned length) {
  std::string body(length, '\0');
  for (char& byte : body) byte = static_cast<char>(1 + random() % 255);
  return body;
}

class TextLengthProperty : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(page_.Ready()) << "could not map a page with a guard page behind it";
  }
  GuardedPage page_;
  std::mt19937 random_{Seed};
};

// The guard works: a read of the first byte behind the readable page faults,
// so the properties below would catch a scan that reads one byte too far.
TEST_F(TextLengthProperty, GuardPageFaultsOnRead) {
  const volatile char* beyond = page_.End();
  EXPECT_DEATH((void)*beyond, "");
}

// Random bytes 1..255 before the terminator, at every offset, with the
// third byte behind it the last readable one.
TEST_F(TextLengthProperty, EqualsStrlenWithTheGuardRightBehindTheScan) {
  Mismatches mismatches;
  unsigned texts = 0;
  for (int round = 0; round < 300; ++round) {
    for (unsigned length = 0; length < MaxLength; ++length) {
      const unsigned char trailing[3] = {TrailingByte(random_), TrailingByte(random_),
                                         TrailingByte(random_)};
      mismatches.Check(PlaceBeforeGuard(page_, RandomBody(random_, length), trailing, 0, random_));
      ++texts;
    }
  }
  EXPECT_EQ(mismatches.count, 0u) << "of " << texts << " texts; first: " << mismatches.first;
}

// Each byte value 1..255 filling the whole text, at every length, followed by
// bytes that flag falsely (0x01) or set the flag bit (0x80, 0xff).
TEST_F(TextLengthProperty, EqualsStrlenForEveryByteValue) {
  Mismatches mismatches;
  const unsigned char trailings[][3] = {{0x01, 0x01, 0x01}, {0x80, 0xff, 0x80}, {0x00, 0x00, 0x00}};
  for (unsigned value = 1; value <= 255; ++value)
    for (unsigned length = 0; length < MaxLength; ++length)
      for (const auto& trailing : trailings)
        mismatches.Check(PlaceBeforeGuard(page_, std::string(length, static_cast<char>(value)),
                                          trailing, 0, random_));
  EXPECT_EQ(mismatches.count, 0u) << "first: " << mismatches.first;
}

// Texts starting at each of the 16 alignments, at every length: a text ends
// as close to the guard page as its alignment allows (0 to 15 further
// non-zero bytes behind its three).
TEST_F(TextLengthProperty, EqualsStrlenFromEveryAlignment) {
  Mismatches mismatches;
  unsigned texts = 0;
  for (unsigned alignment = 0; alignment < 16; ++alignment) {
    for (unsigned length = 0; length < MaxLength; ++length) {
      for (int round = 0; round < 20; ++round) {
        const std::uintptr_t startWithoutSlack =
            reinterpret_cast<std::uintptr_t>(page_.End()) - 3 - 1 - length;
        const std::size_t slack = (startWithoutSlack - alignment) % 16;
        const unsigned char trailing[3] = {TrailingByte(random_), TrailingByte(random_),
                                           TrailingByte(random_)};
        const char* text =
            PlaceBeforeGuard(page_, RandomBody(random_, length), trailing, slack, random_);
        ASSERT_EQ(reinterpret_cast<std::uintptr_t>(text) % 16, alignment);
        mismatches.Check(text);
        ++texts;
      }
    }
  }
  EXPECT_EQ(mismatches.count, 0u) << "of " << texts << " texts; first: " << mismatches.first;
}

// FormatSigned's text, NUL included, compared with std::to_chars; the rest
// of the buffer must stay as it was.
struct FormatMismatches {
  unsigned count = 0;
  std::string first;

  void Check(std::int32_t value) {
    char expected[16];
    const std::to_chars_result result =
        std::to_chars(expected, expected + sizeof expected - 1, value);
    *result.ptr = '\0';
    const std::size_t length = static_cast<std::size_t>(result.ptr - expected);

    NumberText text;
    std::memset(text, 'x', sizeof text);
    FormatSigned(value, text);
    bool same = std::memcmp(text, expected, length + 1) == 0;
    for (std::size_t i = length + 1; i < sizeof text; ++i) same = same && text[i] == 'x';
    if (same) return;
    if (count++ == 0)
      first = "value " + std::to_string(value) + ": expected \"" + expected + "\", buffer " +
              Hex(text, sizeof text);
  }
};

// 0, INT_MIN, INT_MAX and their neighbours, each power of ten and the values
// on either side of it, with both signs.
TEST(FormatSignedProperty, EqualsToCharsAtEveryBoundary) {
  FormatMismatches mismatches;
  for (std::int32_t value : {0, INT_MAX, INT_MAX - 1, INT_MIN, INT_MIN + 1})
    mismatches.Check(value);
  // 1, 10, ... 1,000,000,000: every digit count from 1 to 10 on both sides.
  for (std::int64_t power = 1; power <= INT_MAX; power *= 10) {
    for (std::int64_t value = power - 1; value <= power + 1; ++value) {
      mismatches.Check(static_cast<std::int32_t>(value));
      mismatches.Check(static_cast<std::int32_t>(-value));
    }
  }
  EXPECT_EQ(mismatches.count, 0u) << "first: " << mismatches.first;
}

// Values spread over the whole 32-bit range (mostly ten digits), and values
// with a random number of digits, 1 to 10, and a random sign.
TEST(FormatSignedProperty, EqualsToCharsForRandomValues) {
  std::mt19937 random(Seed);
  FormatMismatches mismatches;
  for (int i = 0; i < 50000; ++i) mismatches.Check(static_cast<std::int32_t>(random()));
  for (int i = 0; i < 50000; ++i) {
    const unsigned digits = 1 + random() % 10;
    std::int64_t low = 1;
    for (unsigned d = 1; d < digits; ++d) low *= 10;
    const std::int64_t high = digits == 10 ? INT_MAX : 10 * low - 1;
    if (digits == 1) low = 0;
    const std::int64_t magnitude = low + static_cast<std::int64_t>(random() % (high - low + 1));
    mismatches.Check(static_cast<std::int32_t>(random() % 2 ? -magnitude : magnitude));
  }
  EXPECT_EQ(mismatches.count, 0u) << "of 100000 values; first: " << mismatches.first;
}

}  // namespace
