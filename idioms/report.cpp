#include "report.h"

#include <stdarg.h>

#if defined(__x86_64__)
const char kMode[] = "x86-64";
#else
const char kMode[] = "IA-32";
#endif

namespace {

const int kNameWidth = 15;
const int kCellWidth = 10;

const char* YesNo(bool value) { return value ? "yes" : "no"; }

// A flag the idioms depend on: whether CPUID has it, and what else holds it back.
void PrintGatingFlag(FILE* out, const Results& results, Flag flag) {
  const Features& features = results.features;
  fprintf(out, "%s %s", FlagName(flag), YesNo(features.has[flag] || features.os_lacks[flag]));
  if (features.os_lacks[flag]) fprintf(out, " (its state not enabled by the operating system)");
  if (results.switched_off[flag]) fprintf(out, " (switched off by --without)");
}

void PrintHeader(FILE* out, const Results& results, const Analysis& analysis) {
  fprintf(out, "zerobench-idioms %s (%s) on cpu %llu\n", ZEROBENCH_VERSION, kMode,
          (unsigned long long)results.cpu);
  fprintf(out, "%s\n", results.banner);
  const Features& features = results.features;
  fprintf(out, "flags: ERMS %s, FSRM %s, FSRS %s, AVX2 %s, ", YesNo(features.erms),
          YesNo(features.fsrm), YesNo(features.fsrs), YesNo(features.avx2));
  PrintGatingFlag(out, results, kFlagAvx512f);
  fprintf(out, ", ");
  PrintGatingFlag(out, results, kFlagClzero);
  fprintf(out, "\n");
  const Reading& reading = results.clock.reading;
  fprintf(out,
          "core clock: %.3f GHz, %.4f core cycles per tick of the %.3f GHz counter (add chain "
          "%.4f, imul chain %.4f)\n",
          reading.Mean() * results.clock.tick_hz / 1e9, reading.Mean(), results.clock.tick_hz / 1e9,
          reading.add, reading.imul);
  fprintf(out, "calibration: %d adds read %.2f core cycles, %d adds %.2f\n", kCalibrationAdds[0],
          Cycles(results, results.calibration[0].ticks), kCalibrationAdds[1],
          Cycles(results, results.calibration[1].ticks));
  if (analysis.trusted) {
    fprintf(out, "trusted: the clock's chains agree and both calibration chains within 3%%\n");
  } else {
    char why[512];
    WhyUntrusted(results, analysis, why, sizeof why);
    fprintf(out, "the figures cannot be trusted: %s\n", why);
  }
  fprintf(out,
          "buffer: %u bytes past a 64-byte boundary; core cycles per clear, median of %d rounds\n",
          (unsigned)results.misalign, kRounds);
}

// A table row: each cell its width, a cheapest figure followed by '*', and
// no spaces at the end.
struct Row {
  char text[kNameWidth + kMostSizes * kCellWidth + 128];
  int used;
  __attribute__((format(printf, 2, 3))) void Add(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    const int left = int(sizeof text) - used;
    const int wrote = vsnprintf(text + used, size_t(left), format, arguments);
    used += wrote < 0 ? 0 : wrote < left ? wrote : left - 1;
    va_end(arguments);
  }
  void Print(FILE* out) {
    while (used > 0 && text[used - 1] == ' ') --used;
    fprintf(out, "%.*s\n", used, text);
  }
};

void PrintTable(FILE* out, const Results& results, const Analysis& analysis) {
  Row header = {"", 0};
  header.Add("%-*s", kNameWidth, "idiom");
  for (int size = 0; size < results.size_count; ++size)
    header.Add("%*u ", kCellWidth - 1, (unsigned)results.sizes[size]);
  fprintf(out, "\n");
  header.Print(out);
  for (int i = 0; i < kIdiomCount; ++i) {
    const IdiomResult& idiom = results.idioms[i];
    Row row = {"", 0};
    char name[32];
    snprintf(name, sizeof name, "%s%s", kIdioms[i].name, kIdioms[i].reference ? " (ref)" : "");
    row.Add("%-*s", kNameWidth, name);
    if (idiom.skipped) row.Add("skipped: %s", idiom.why);
    for (int size = 0; !idiom.skipped && size < results.size_count; ++size) {
      const bool cheapest = analysis.sizes[size].cheapest == i;
      row.Add("%*.1f%c", kCellWidth - 1, Cycles(results, idiom.figures[size].ticks),
              cheapest ? '*' : ' ');
    }
    row.Print(out);
  }
  fprintf(out, "* the cheapest at its size; (ref) a reference, never ranked\n\n");
}

// "name 1.02 [1.00, 1.05]": a figure in core cycles with its quartiles.
void PrintFigure(FILE* out, const Results& results, int idiom, int size) {
  const Figure& figure = results.idioms[idiom].figures[size];
  fprintf(out, "%s %.2f [%.2f, %.2f]", kIdioms[idiom].name, Cycles(results, figure.ticks),
          Cycles(results, figure.ticks_q1), Cycles(results, figure.ticks_q3));
}

double SizeCycles(const Results& results, int idiom, int size) {
  return Cycles(results, results.idioms[idiom].figures[size].ticks);
}

void PrintCheapest(FILE* out, const Results& results, const Analysis& analysis, int size) {
  const SizeFinding& finding = analysis.sizes[size];
  fprintf(out, "cheapest at %u bytes: ", (unsigned)results.sizes[size]);
  if (finding.cheapest < 0) {
    fprintf(out, "none ran\n");
    return;
  }
  PrintFigure(out, results, finding.cheapest, size);
  if (finding.next < 0) {
    fprintf(out, ", the only one that ran\n");
    return;
  }
  const double best = SizeCycles(results, finding.cheapest, size);
  const double next = SizeCycles(results, finding.next, size);
  fprintf(out, ", %.2f (%.0f%%) below ", next - best, best > 0 ? 100 * (next - best) / best : 0.0);
  PrintFigure(out, results, finding.next, size);
  fprintf(out, "\n");
}

void PrintRepStosbCatch(FILE* out, const Results& results, const Analysis& analysis) {
  const int vector = analysis.widest_vector, rep = analysis.rep_stosb;
  if (vector < 0 || results.idioms[rep].skipped) {
    fprintf(out, "rep stosb against the widest vector store: no vector store ran\n");
    return;
  }
  const int at = analysis.catch_size >= 0 ? analysis.catch_size : results.size_count - 1;
  if (analysis.catch_size >= 0) {
    fprintf(out, "rep stosb catches %s at %u bytes", kIdioms[vector].name,
            (unsigned)results.sizes[at]);
  } else {
    fprintf(out, "rep stosb does not catch %s within %u-%u bytes (at %u", kIdioms[vector].name,
            (unsigned)results.sizes[0], (unsigned)results.sizes[at], (unsigned)results.sizes[at]);
  }
  fprintf(out, "%s%.2f against %.2f core cycles)\n", analysis.catch_size >= 0 ? " (" : ": ",
          SizeCycles(results, rep, at), SizeCycles(results, vector, at));
}

// The sizes at which memset is (or is not) the cheapest, as "16, 64".
void PrintSizesWhere(FILE* out, const Results& results, const Analysis& analysis, bool cheapest) {
  const char* separator = "";
  for (int size = 0; size < results.size_count; ++size) {
    if (analysis.sizes[size].memset_cheapest != cheapest) continue;
    fprintf(out, "%s%u", separator, (unsigned)results.sizes[size]);
    separator = ", ";
  }
}

void PrintMemset(FILE* out, const Results& results, const Analysis& analysis) {
  int cheapest_at = 0;
  for (int size = 0; size < results.size_count; ++size)
    cheapest_at += analysis.sizes[size].memset_cheapest;
  if (cheapest_at == results.size_count) {
    fprintf(out, "memset is the cheapest at every size\n");
  } else if (cheapest_at == 0) {
    fprintf(out, "memset is the cheapest at no size\n");
  } else {
    fprintf(out, "memset is the cheapest at ");
    PrintSizesWhere(out, results, analysis, true);
    fprintf(out, " bytes; not at ");
    PrintSizesWhere(out, results, analysis, false);
    fprintf(out, "\n");
  }
}

}  // namespace

void PrintReport(FILE* out, const Results& results, const Analysis& analysis) {
  PrintHeader(out, results, analysis);
  PrintTable(out, results, analysis);
  for (int size = 0; size < results.size_count; ++size) PrintCheapest(out, results, analysis, size);
  PrintRepStosbCatch(out, results, analysis);
  PrintMemset(out, results, analysis);
}
