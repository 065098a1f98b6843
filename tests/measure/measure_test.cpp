#include "measure/measure.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "capture.h"
#include "console/console.h"
#include "platform/platform.h"

#ifndef _WIN32
#include <unistd.h>
#endif

extern "C" {
extern unsigned char ScratchGuardBelow[64];
extern unsigned char ScratchGuardAbove[64];
}

namespace {

std::uint16_t ControlWord() {
  std::uint16_t word;
  asm volatile("fnstcw %0" : "=m"(word));
  return word;
}

void LoadControlWord(std::uint16_t word) { asm volatile("fldcw %0" : : "m"(word)); }

TEST(DivideRounded, RoundsToNearestWithTiesToEven) {
  EXPECT_EQ(DivideRounded(2500000, PASS_COUNT), 2);
  EXPECT_EQ(DivideRounded(3500000, PASS_COUNT), 4);
  EXPECT_EQ(DivideRounded(2500001, PASS_COUNT), 3);
  EXPECT_EQ(DivideRounded(2499999, PASS_COUNT), 2);
  EXPECT_EQ(DivideRounded(-400000, PASS_COUNT), 0);
  EXPECT_EQ(DivideRounded(-600000, PASS_COUNT), -1);
  EXPECT_EQ(DivideRounded(-2500000, PASS_COUNT), -2);
  EXPECT_EQ(DivideRounded(0, PASS_COUNT), 0);
}

TEST(DivideRounded, KeepsSixtyFourBitDividends) {
  EXPECT_EQ(DivideRounded(INT64_C(5000000000000000), PASS_COUNT), INT64_C(5000000000));
  EXPECT_EQ(DivideRounded(INT64_C(-9000000000000000000), PASS_COUNT), INT64_C(-9000000000000));
  EXPECT_EQ(DivideRounded(7, 2), 4);
  EXPECT_EQ(DivideRounded(9, -2), -4);
}

// It rounds to nearest whatever rounding the caller had set, and gives the
// caller its control word back.
TEST(DivideRounded, LeavesTheControlWordAsItFoundIt) {
  const std::uint16_t saved = ControlWord();
  const std::uint16_t towardZero = static_cast<std::uint16_t>((saved & ~0x0F00u) | 0x0C00u);
  LoadControlWord(towardZero);
  const std::int64_t quotient = DivideRounded(2600000, PASS_COUNT);
  const std::uint16_t after = ControlWord();
  LoadControlWord(saved);
  EXPECT_EQ(quotient, 3);
  EXPECT_EQ(after, towardZero);
}

// A real run of each body, from a ScratchArea full of ones and guard bands
// full of a pattern.
class MeasureCyclesRun : public ::testing::TestWithParam<Body> {};

TEST_P(MeasureCyclesRun, ClearsScratchAreaAndNothingElse) {
  std::memset(ScratchArea, 0xff, sizeof ScratchArea);
  std::memset(ScratchGuardBelow, 0xa5, sizeof ScratchGuardBelow);
  std::memset(ScratchGuardAbove, 0x5a, sizeof ScratchGuardAbove);
  MeasureCycles(GetParam());
  for (int i = 0; i < 100; ++i) EXPECT_EQ(ScratchArea[i], 0u) << "word " << i;
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(ScratchGuardBelow[i], 0xa5) << "byte " << i - 64 << " below ScratchArea";
    EXPECT_EQ(ScratchGuardAbove[i], 0x5a) << "byte " << i << " above ScratchArea";
  }
}

TEST_P(MeasureCyclesRun, GivesAPositiveFigurePerPass) {
  MeasureCycles(GetParam());
  EXPECT_EQ(LoopCount, PASS_COUNT);
  EXPECT_EQ(LoopCounter, 0u);
  EXPECT_GT(CycleResult, 0);
  // Far below anything a pass of 100 operations could cost.
  EXPECT_LT(CycleResult, 100000);
}

TEST_P(MeasureCyclesRun, EndsAtNormalPriority) {
#ifndef _WIN32
  if (geteuid() != 0) GTEST_SKIP() << "only root may return from a lowered priority";
#endif
  ASSERT_TRUE(SetPriorityClass(GetCurrentProcess(), BELOW_NORMAL_PRIORITY_CLASS));
  ASSERT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(BELOW_NORMAL_PRIORITY_CLASS));
  MeasureCycles(GetParam());
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), static_cast<DWORD>(NORMAL_PRIORITY_CLASS));
}

INSTANTIATE_TEST_SUITE_P(EachBody, MeasureCyclesRun, ::testing::Values(MovBody, AndBody),
                         [](const auto& info) { return info.param == MovBody ? "Mov" : "And"; });

std::string Reported(std::int64_t figure, const char* label) {
  NumberText text;
  return CaptureStandardOutput([&] { ReportLine(figure, text, label); });
}

TEST(ReportLine, WritesTheFigureThenTheLabel) {
  EXPECT_EQ(Reported(42, "\tcycles for 100*mov\r\n\0\0"), "42\tcycles for 100*mov\r\n");
  EXPECT_EQ(Reported(0, "\tcycles for 100*and\r\n\0\0"), "0\tcycles for 100*and\r\n");
  EXPECT_EQ(Reported(-1, "\tcycles for 100*and\r\n\0\0"), "-1\tcycles for 100*and\r\n");
}

TEST(ReportLine, PrintsTheLowThirtyTwoBitsAsSigned) {
  EXPECT_EQ(Reported(INT64_C(0x100000005), "|\0\0"), "5|");
  EXPECT_EQ(Reported(INT64_C(0x80000000), "|\0\0"), "-2147483648|");
  EXPECT_EQ(Reported(INT64_C(-4294967296), "|\0\0"), "0|");
}

}  // namespace
