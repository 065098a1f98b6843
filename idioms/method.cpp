#include "method.h"

#include <stdlib.h>

namespace {

// A single-copy timing is made this long, in ticks, by its pass count: long
// enough that the counter reads' own jitter is a small part of it, short
// enough that an interrupt seldom falls in it.
const uint64_t kTargetTicks = 20000;
const uint32_t kMostPasses = 1u << 20;

// The pass count that makes a single-copy timing about kTargetTicks long:
// doubled from 1 until it is, each length's best of three.
uint32_t PassesFor(const TimedBody& body, void* buffer) {
  uint32_t passes = 1;
  for (; passes < kMostPasses; passes *= 2) {
    uint64_t best = UINT64_MAX;
    for (int i = 0; i < 3; ++i) {
      uint64_t ticks = body.single(buffer, body.count, passes);
      if (ticks < best) best = ticks;
    }
    if (best >= kTargetTicks) break;
  }
  return passes;
}

int CompareValues(const void* a, const void* b) {
  double x = *static_cast<const double*>(a), y = *static_cast<const double*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

}  // namespace

void Summarize(double* values, int count, Figure* figure) {
  qsort(values, count, sizeof *values, CompareValues);
  figure->ticks = count % 2 ? values[count / 2] : (values[count / 2 - 1] + values[count / 2]) / 2;
  figure->ticks_q1 = values[(count - 1) / 4];
  figure->ticks_q3 = values[(count - 1) * 3 / 4];
}

// Each body's turn begins with an untimed single timing, which brings its
// code and the buffer back into the caches after the body before it (a
// non-temporal store or clzero leaves the buffer outside them) and lets that
// body's writes drain; the single and the double timing that follow are then
// alike but for the extra copies.
bool MeasureBodies(const TimedBody* bodies, int count, void* buffer, Figure* figures,
                   const volatile sig_atomic_t* stop) {
  static double differences[kMostBodies][kRounds];
  if (count > kMostBodies) return false;
  for (int i = 0; i < count; ++i) {
    if (*stop) return false;
    figures[i].passes = PassesFor(bodies[i], buffer);
  }
  const double extra_copies = COPIES_DOUBLE - COPIES_SINGLE;
  for (int round = 0; round < kRounds; ++round) {
    for (int i = 0; i < count; ++i) {
      if (*stop) return false;
      const TimedBody& body = bodies[i];
      const uint32_t passes = figures[i].passes;
      body.single(buffer, body.count, passes);
      const double single = double(body.single(buffer, body.count, passes));
      const double twice = double(body.twice(buffer, body.count, passes));
      differences[i][round] = (twice - single) / (extra_copies * passes);
    }
  }
  for (int i = 0; i < count; ++i) Summarize(differences[i], kRounds, &figures[i]);
  return true;
}
