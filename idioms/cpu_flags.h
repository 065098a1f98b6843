// What the processor and the operating system offer the idioms: CPUID's
// flags and, for the AVX registers, whether the operating system saves
// their state (XGETBV).
#pragma once

#include <stdint.h>

// The flags that decide whether an idiom runs; --without switches each off.
enum Flag { kFlagSse2, kFlagAvx, kFlagAvx512f, kFlagClzero, kFlagCount };

// The flags the report shows.
struct Features {
  bool has[kFlagCount];       // CPUID says so (and, for AVX, AVX-512F, the OS saves the state)
  bool os_lacks[kFlagCount];  // CPUID says so, but the OS does not save the registers' state
  bool erms, fsrm, fsrs, avx2;
};

// The registers CPUID and XGETBV give, as ReadFeatures reads them.
struct CpuidValues {
  uint32_t leaf1_ecx, leaf1_edx;
  uint32_t leaf7_ebx, leaf7_edx;  // leaf 7, subleaf 0 (zero where absent)
  uint32_t leaf7_1_eax;           // leaf 7, subleaf 1 (zero where absent)
  uint32_t leaf80000008_ebx;      // zero where absent
  uint64_t xcr0;                  // zero without OSXSAVE
};

CpuidValues ReadCpuidValues();
Features DecodeFeatures(const CpuidValues& values);

// The option's name of a flag (--without NAME), and its name in the report.
const char* FlagOption(Flag flag);
const char* FlagName(Flag flag);
