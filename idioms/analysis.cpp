#include "analysis.h"

#include <math.h>
#include <stdarg.h>
#include <stdio.h>
#include <string.h>

namespace {

int FindIdiom(bool shaped, int kind) {
  for (int i = 0; i < kIdiomCount; ++i) {
    if (kIdioms[i].shaped == shaped && kIdioms[i].kind == kind) return i;
  }
  return -1;
}

bool Ran(const Results& results, int idiom) { return idiom >= 0 && !results.idioms[idiom].skipped; }

double Ticks(const Results& results, int idiom, int size) {
  return results.idioms[idiom].figures[size].ticks;
}

SizeFinding RankSize(const Results& results, int size, int memset) {
  SizeFinding finding = {-1, -1, false};
  for (int i = 0; i < kIdiomCount; ++i) {
    if (!Ran(results, i) || kIdioms[i].reference) continue;
    const double ticks = Ticks(results, i, size);
    if (finding.cheapest < 0 || ticks < Ticks(results, finding.cheapest, size)) {
      finding.next = finding.cheapest;
      finding.cheapest = i;
    } else if (finding.next < 0 || ticks < Ticks(results, finding.next, size)) {
      finding.next = i;
    }
  }
  finding.memset_cheapest = memset >= 0 && finding.cheapest == memset;
  return finding;
}

// Appends a reason to those in why, after "; ", as far as it fits.
__attribute__((format(printf, 3, 4))) void AppendReason(char* why, size_t why_size,
                                                        const char* format, ...) {
  size_t used = strlen(why);
  if (used > 0 && used + 2 < why_size) {
    memcpy(why + used, "; ", 3);
    used += 2;
  }
  va_list arguments;
  va_start(arguments, format);
  if (used < why_size) vsnprintf(why + used, why_size - used, format, arguments);
  va_end(arguments);
}

}  // namespace

Analysis Analyse(const Results& results) {
  Analysis analysis = {};
  analysis.trusted = results.clock.verdict == Verdict::kTrusted;
  for (int i = 0; i < kCalibrations; ++i) {
    const double cycles = Cycles(results, results.calibration[i].ticks);
    const double adds = kCalibrationAdds[i];
    analysis.calibration_within[i] = fabs(cycles - adds) <= kCalibrationTolerance * adds;
    analysis.trusted = analysis.trusted && analysis.calibration_within[i];
  }
  analysis.rep_stosb = FindIdiom(false, kRepStosb);
  analysis.memset = FindIdiom(false, kMemset);
  for (int size = 0; size < results.size_count; ++size) {
    analysis.sizes[size] = RankSize(results, size, analysis.memset);
  }
  analysis.widest_vector = -1;
  const int widest_first[] = {kVmovdqa64, kVmovdqa, kMovdqa};
  for (int kind : widest_first) {
    if (Ran(results, FindIdiom(true, kind))) {
      analysis.widest_vector = FindIdiom(true, kind);
      break;
    }
  }
  analysis.catch_size = -1;
  if (analysis.widest_vector >= 0 && Ran(results, analysis.rep_stosb)) {
    for (int size = 0; size < results.size_count && analysis.catch_size < 0; ++size) {
      if (Ticks(results, analysis.rep_stosb, size) <= Ticks(results, analysis.widest_vector, size))
        analysis.catch_size = size;
    }
  }
  return analysis;
}

void WhyUntrusted(const Results& results, const Analysis& analysis, char* why, size_t why_size) {
  why[0] = '\0';
  const Reading& reading = results.clock.reading;
  if (results.clock.verdict == Verdict::kChainsDisagree) {
    AppendReason(why, why_size,
                 "the core clock's two chains disagree (add %.4f, imul %.4f core cycles per tick)",
                 reading.add, reading.imul);
  } else if (results.clock.verdict == Verdict::kClockOutOfRange) {
    AppendReason(why, why_size, "a core clock of %.3f GHz is outside 0.1-10 GHz",
                 reading.Mean() * results.clock.tick_hz / 1e9);
  }
  for (int i = 0; i < kCalibrations; ++i) {
    if (analysis.calibration_within[i]) continue;
    AppendReason(why, why_size, "the chain of %d adds read %.2f core cycles, more than 3%% from %d",
                 kCalibrationAdds[i], Cycles(results, results.calibration[i].ticks),
                 kCalibrationAdds[i]);
  }
}
