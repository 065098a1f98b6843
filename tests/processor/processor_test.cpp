#include "processor/processor.h"

#include <cpuid.h>
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "expected_banner.h"

namespace {

// The banner for a brand text given as the processor would leave it: the
// given bytes, the rest of the buffer zero.
std::string Banner(const std::string& brand, int sseCount) {
  char brandText[BrandTextSize] = {};
  std::memcpy(brandText, brand.data(), brand.size() < 48 ? brand.size() : 48);
  return CaptureStandardOutput([&] { PrintBanner(brandText, sseCount); });
}

TEST(PrintBanner, DropsLeadingSpacesOnly) {
  EXPECT_EQ(Banner("       Intel(R) Core(TM)2 CPU  ", 2), "Intel(R) Core(TM)2 CPU   (SSE2)\r\n");
  EXPECT_EQ(Banner("AMD  EPYC", 4), "AMD  EPYC (SSE4)\r\n");
}

TEST(PrintBanner, NamesAProcessorWithoutBrandTextPreP4) {
  EXPECT_EQ(Banner("", 2), "pre-P4 (SSE2)\r\n");
  EXPECT_EQ(Banner("    ", 1), "pre-P4 (SSE1)\r\n");
  EXPECT_EQ(Banner("  \037abc", 3), "pre-P4 (SSE3)\r\n");
  EXPECT_EQ(Banner("\001Genuine", 0), "pre-P4");
  // A byte above 0x7f is not a control byte.
  EXPECT_EQ(Banner("\200x", 1), "\200x (SSE1)\r\n");
}

TEST(PrintBanner, EndsTheLineOnlyWhenSomeSseFlagIsSet) {
  EXPECT_EQ(Banner("Old CPU", 0), "Old CPU");
  EXPECT_EQ(Banner("New CPU", 4), "New CPU (SSE4)\r\n");
}

TEST(PrintBanner, StopsAtByte48WhenTheBrandHasNoNul) {
  const std::string full(48, 'B');
  EXPECT_EQ(Banner(full + "never read", 1), full + " (SSE1)\r\n");
  EXPECT_EQ(Banner("  " + std::string(46, 'C'), 0), std::string(46, 'C'));
}

TEST(ShowProcessor, PrintsWhatThisProcessorSays) {
  EXPECT_EQ(CaptureStandardOutput(ShowProcessor), ExpectedBanner());
}

// zerobench-idioms shows the banner from this text.
TEST(ReadBanner, GivesWhatShowProcessorPrints) {
  char banner[BannerTextSize];
  ReadBanner(banner);
  EXPECT_EQ(banner, ExpectedBanner());
}

// Leaves whose answer does not depend on the core the test runs on.
TEST(ReadCpuid, GivesEaxEbxEcxEdxInOrder) {
  for (std::uint32_t leaf : {0u, 0x80000000u, 0x80000002u, 0x80000004u}) {
    std::uint32_t registers[4] = {};
    ReadCpuid(leaf, registers);
    unsigned eax, ebx, ecx, edx;
    __cpuid(leaf, eax, ebx, ecx, edx);
    EXPECT_EQ(registers[0], eax) << "leaf " << leaf;
    EXPECT_EQ(registers[1], ebx) << "leaf " << leaf;
    EXPECT_EQ(registers[2], ecx) << "leaf " << leaf;
    EXPECT_EQ(registers[3], edx) << "leaf " << leaf;
  }
}

}  // namespace
