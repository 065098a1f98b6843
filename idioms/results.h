// A run's findings as data: what the report and the JSON are rendered from.
#pragma once

#include <stdint.h>

#include "catalogue.h"
#include "cpu_flags.h"
#include "method.h"
#include "probe.h"
#include "processor/processor.h"

const int kMostSizes = 16;
const int kCalibrations = 2;
const int kCalibrationAdds[kCalibrations] = {10, 100};

struct ClockFigures {
  Reading reading;  // core cycles per tick by each chain
  double tick_hz;
  Verdict verdict;
};

struct IdiomResult {
  bool skipped;
  char why[96];  // when skipped
  Figure figures[kMostSizes];
};

struct Results {
  char banner[BannerTextSize];  // as zerobench prints it, without its line end
  uint64_t cpu;
  Features features;
  bool switched_off[kFlagCount];
  uint32_t sizes[kMostSizes];  // ascending
  int size_count;
  uint32_t misalign;
  ClockFigures clock;
  Figure calibration[kCalibrations];
  IdiomResult idioms[kIdiomCount];
};

// Ticks in core cycles, by the clock reading.
inline double Cycles(const Results& results, double ticks) {
  return ticks * results.clock.reading.Mean();
}
