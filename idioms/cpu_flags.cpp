#include "cpu_flags.h"

#include <cpuid.h>

namespace {

bool Bit(uint32_t value, int bit) { return (value >> bit) & 1; }

// XCR0: the state components the operating system saves on a context switch.
const uint64_t kXcr0Avx = 0x6;      // SSE and the upper halves of YMM
const uint64_t kXcr0Avx512 = 0xe6;  // those, the opmask registers and ZMM

uint64_t ReadXcr0() {
  uint32_t low, high;
  asm volatile("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
  return uint64_t(high) << 32 | low;
}

}  // namespace

CpuidValues ReadCpuidValues() {
  CpuidValues values = {};
  uint32_t eax, ebx, ecx, edx;
  const uint32_t basic = __get_cpuid_max(0, nullptr);
  if (basic >= 1) {
    __cpuid(1, eax, ebx, ecx, edx);
    values.leaf1_ecx = ecx;
    values.leaf1_edx = edx;
  }
  if (basic >= 7) {
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    values.leaf7_ebx = ebx;
    values.leaf7_edx = edx;
    if (eax >= 1) {
      __cpuid_count(7, 1, eax, ebx, ecx, edx);
      values.leaf7_1_eax = eax;
    }
  }
  if (__get_cpuid_max(0x80000000, nullptr) >= 0x80000008) {
    __cpuid(0x80000008, eax, ebx, ecx, edx);
    values.leaf80000008_ebx = ebx;
  }
  const bool osxsave = Bit(values.leaf1_ecx, 27);
  if (osxsave) values.xcr0 = ReadXcr0();
  return values;
}

Features DecodeFeatures(const CpuidValues& values) {
  Features features = {};
  const bool avx_state = (values.xcr0 & kXcr0Avx) == kXcr0Avx;
  const bool avx512_state = (values.xcr0 & kXcr0Avx512) == kXcr0Avx512;
  const bool avx = Bit(values.leaf1_ecx, 28);
  const bool avx512f = Bit(values.leaf7_ebx, 16);
  features.has[kFlagSse2] = Bit(values.leaf1_edx, 26);
  features.has[kFlagAvx] = avx && avx_state;
  features.os_lacks[kFlagAvx] = avx && !avx_state;
  features.has[kFlagAvx512f] = avx512f && avx512_state;
  features.os_lacks[kFlagAvx512f] = avx512f && !avx512_state;
  features.has[kFlagClzero] = Bit(values.leaf80000008_ebx, 0);
  features.erms = Bit(values.leaf7_ebx, 9);
  features.fsrm = Bit(values.leaf7_edx, 4);
  features.fsrs = Bit(values.leaf7_1_eax, 11);
  features.avx2 = Bit(values.leaf7_ebx, 5);
  return features;
}

const char* FlagOption(Flag flag) {
  static const char* const options[kFlagCount] = {"sse2", "avx", "avx512f", "clzero"};
  return options[flag];
}

const char* FlagName(Flag flag) {
  static const char* const names[kFlagCount] = {"SSE2", "AVX", "AVX-512F", "CLZERO"};
  return names[flag];
}
