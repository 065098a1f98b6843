// zerobench-idioms' command line.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cpu_flags.h"
#include "results.h"

extern const char kUsage[];

// Sizes: multiples of 16 bytes, up to 1 MiB.
const uint32_t kSizeStep = 16;
const uint32_t kLargestSize = 1u << 20;
// --misalign: an offset from the 64-byte boundary.
const uint32_t kMostMisalign = 63;

struct Options {
  uint32_t sizes[kMostSizes];  // ascending
  int size_count;
  uint32_t misalign;
  bool switched_off[kFlagCount];
  const char* json;  // or null
  bool pinned;       // --cpu given
  uint64_t cpu;
  bool help;
};

// Reads the arguments into options, or writes one line saying what is wrong
// (without the program's name) into error and returns false.
bool ParseOptions(int argc, char** argv, Options* options, char* error, size_t error_size);
