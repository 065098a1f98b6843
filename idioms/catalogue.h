// The idioms zerobench-idioms times, in the report's order, and the body
// that clears a given size with each.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "cpu_flags.h"
#include "timed.h"

struct Idiom {
  const char* name;  // as the table and the JSON name it
  bool shaped;       // a ShapedKind, else a PlainKind
  int kind;
  bool wide_only;     // x86-64 only
  int needs;          // a Flag, or -1 for none
  uint32_t element;   // bytes per count unit of a plain body (1 for memset)
  uint32_t boundary;  // the buffer must lie on this boundary (aligned stores), or 1
  bool reference;     // shown, never ranked
};

const int kIdiomCount = 14;
extern const Idiom kIdioms[kIdiomCount];

// The two routines (COPIES_SINGLE and COPIES_DOUBLE copies) and the count
// that clear `size` bytes with an idiom: size a multiple of 16.
struct TimedBody {
  TimedRoutine single, twice;
  uint32_t count;
};
TimedBody BodyFor(const Idiom& idiom, uint32_t size);

// The calibration body of `adds` dependent adds (10 or 100).
TimedBody CalibrationBody(int adds);

// Why an idiom cannot run here, written into why (a sentence without its
// full stop), or false when it runs.
bool WhySkipped(const Idiom& idiom, const Features& features, const bool switched_off[kFlagCount],
                uint32_t misalign, char* why, size_t why_size);
