// What a run's figures say: the calibration's verdict, the cheapest idiom at
// each size and the next, where rep stosb catches the widest vector store,
// and whether memset is the cheapest.
#pragma once

#include <stddef.h>

#include "results.h"

// A calibration chain must read its adds in core cycles within this fraction.
const double kCalibrationTolerance = 0.03;

struct SizeFinding {
  int cheapest, next;  // idioms, -1 where fewer ran; the reference never counts
  bool memset_cheapest;
};

struct Analysis {
  bool calibration_within[kCalibrations];
  bool trusted;  // the clock reading and both calibration chains
  SizeFinding sizes[kMostSizes];
  int rep_stosb, memset;  // idioms
  int widest_vector;      // the widest vector store that ran, or -1
  int catch_size;         // the first size at which rep stosb costs no more than it, or -1
};

Analysis Analyse(const Results& results);

// Why the figures cannot be trusted, every reason joined by "; ", into why;
// empty when they can.
void WhyUntrusted(const Results& results, const Analysis& analysis, char* why, size_t why_size);
