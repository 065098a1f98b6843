#include "catalogue.h"

#include <stdio.h>

#if defined(__x86_64__)
const bool kWide = true;
#else
const bool kWide = false;
#endif

const Idiom kIdioms[kIdiomCount] = {
    {"mov [m],0", true, kMovImmediate, false, -1, 0, 1, false},
    {"and [m],0", true, kAndImmediate, false, -1, 0, 1, false},
    {"mov [m],r32", true, kMovR32, false, -1, 0, 1, false},
    {"mov [m],r64", true, kMovR64, true, -1, 0, 1, false},
    {"rep stosb", false, kRepStosb, false, -1, 1, 1, false},
    {"rep stosd", false, kRepStosd, false, -1, 4, 1, false},
    {"rep stosq", false, kRepStosq, true, -1, 8, 1, false},
    {"movdqa xmm", true, kMovdqa, false, kFlagSse2, 0, 16, false},
    {"vmovdqa ymm", true, kVmovdqa, false, kFlagAvx, 0, 32, false},
    {"vmovdqa64 zmm", true, kVmovdqa64, false, kFlagAvx512f, 0, 64, false},
    {"movnti", true, kMovnti, false, kFlagSse2, 0, 1, false},
    {"movntdq", true, kMovntdq, false, kFlagSse2, 0, 16, false},
    {"clzero", true, kClzero, false, kFlagClzero, 0, 64, true},
    {"memset", false, kMemset, false, -1, 1, 1, false},
};

namespace {

// Up to 64 bytes a body is straight-line; above, 64-byte blocks in a loop
// and a tail.
const uint32_t kBlock = 64;

TimedBody FromCode(const RoutineCode pair[2], uint32_t count) {
  return {pair[0].run, pair[1].run, count};
}

}  // namespace

TimedBody BodyFor(const Idiom& idiom, uint32_t size) {
  if (!idiom.shaped) return FromCode(PlainRoutines[idiom.kind], size / idiom.element);
  if (size <= kBlock) return FromCode(ShapedRoutines[idiom.kind][size / 16 - 1], 0);
  return FromCode(ShapedRoutines[idiom.kind][4 + size % kBlock / 16], size / kBlock);
}

TimedBody CalibrationBody(int adds) {
  return FromCode(PlainRoutines[adds == 10 ? kCalibration10 : kCalibration100], 0);
}

bool WhySkipped(const Idiom& idiom, const Features& features, const bool switched_off[kFlagCount],
                uint32_t misalign, char* why, size_t why_size) {
  if (idiom.wide_only && !kWide) {
    snprintf(why, why_size, "x86-64 only");
  } else if (idiom.needs >= 0 && switched_off[idiom.needs]) {
    snprintf(why, why_size, "%s switched off (--without %s)", FlagName(Flag(idiom.needs)),
             FlagOption(Flag(idiom.needs)));
  } else if (idiom.needs >= 0 && features.os_lacks[idiom.needs]) {
    snprintf(why, why_size, "the operating system does not enable %s state (XCR0)",
             FlagName(Flag(idiom.needs)));
  } else if (idiom.needs >= 0 && !features.has[idiom.needs]) {
    snprintf(why, why_size, "no %s on this processor", FlagName(Flag(idiom.needs)));
  } else if (misalign % idiom.boundary != 0) {
    snprintf(why, why_size, "needs a %u-byte boundary, which --misalign %u leaves",
             (unsigned)idiom.boundary, (unsigned)misalign);
  } else {
    return false;
  }
  return true;
}
