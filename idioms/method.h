// How a body's cost is taken: each body timed at COPIES_SINGLE and at
// COPIES_DOUBLE copies per pass over the same number of passes, the
// difference divided by the extra copies, over rounds in which every body
// takes its turn.
#pragma once

#include <signal.h>
#include <stdint.h>

#include "catalogue.h"

// At most this many bodies are measured together.
const int kMostBodies = kIdiomCount;

// Rounds per measurement: every body once per round.
const int kRounds = 51;

// A body's cost per copy, in ticks: the median of the rounds' differences
// and its quartiles.
struct Figure {
  double ticks, ticks_q1, ticks_q3;
  uint32_t passes;  // per timing
};

// Times `count` bodies in kRounds rounds, each clearing `buffer`. Returns
// false, part way, once *stop is set.
bool MeasureBodies(const TimedBody* bodies, int count, void* buffer, Figure* figures,
                   const volatile sig_atomic_t* stop);

// The median and quartiles of `count` values, which it sorts.
void Summarize(double* values, int count, Figure* figure);
