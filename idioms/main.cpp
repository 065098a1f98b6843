// zerobench-idioms: the cheapest way to clear memory on this processor, size
// by size. It reads the core clock, times the calibration chains and every
// idiom that can run here, then prints the report (and with --json writes
// the figures). Exit status: 0, 3 when the figures cannot be trusted (the
// report is still printed), 2 for a wrong argument, 1 for another failure,
// 128 + N when signal N stopped it.
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "analysis.h"
#include "catalogue.h"
#include "json.h"
#include "method.h"
#include "options.h"
#include "probe.h"
#include "processor/processor.h"
#include "report.h"
#include "results.h"

namespace {

const int kUsageError = 2;
const int kFailure = 1;
const int kUntrusted = 3;

// The signal that asked the program to stop, or 0.
volatile sig_atomic_t stop_signal = 0;

void NoteStop(int signal_number) { stop_signal = signal_number; }

// Ctrl-C, SIGTERM and SIGHUP stop the measuring at the next body's turn. Not
// restarted: a write blocked on a full pipe gives up too. A closed pipe on
// standard output is a failed write, not the end: the JSON is still written.
void CatchStopSignals() {
  signal(SIGPIPE, SIG_IGN);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = NoteStop;
  sigemptyset(&action.sa_mask);
  const int stop_signals[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signal_number : stop_signals) sigaction(signal_number, &action, nullptr);
}

int Stopped() {
  const int signal_number = stop_signal;
  const char* name = signal_number == SIGINT    ? "SIGINT"
                     : signal_number == SIGTERM ? "SIGTERM"
                                                : "SIGHUP";
  fprintf(stderr, "zerobench-idioms: stopped by %s\n", name);
  return 128 + signal_number;
}

int UsageError(const char* error) {
  fprintf(stderr, "zerobench-idioms: %s (%s)\n", error, kUsage);
  return kUsageError;
}

// 0 once standard output is written out; 1, saying why, when it cannot be.
int FlushOutput() {
  if (fflush(stdout) == 0 && !ferror(stdout)) return 0;
  perror("zerobench-idioms: writing to standard output");
  return kFailure;
}

// Memory for the buffer: page-aligned, room for misalign bytes before it and
// a line to spare after it for clzero, which clears whole lines.
unsigned char* AllocateBuffer(uint32_t largest, uint32_t misalign) {
  const size_t page = 4096;
  const size_t bytes = (largest + misalign + 64 + page - 1) / page * page;
  unsigned char* memory = static_cast<unsigned char*>(aligned_alloc(page, bytes));
  if (memory != nullptr) memset(memory, 0, bytes);
  return memory;
}

ClockFigures ReadClock() {
  ClockFigures clock;
  clock.tick_hz = CounterHz();
  clock.reading = CyclesPerTick();
  clock.verdict = Judge(clock.reading, clock.tick_hz);
  return clock;
}

// The banner as zerobench prints it, without its line end.
void ReadBannerLine(char* banner) {
  ReadBanner(banner);
  char* end = strchr(banner, '\r');
  if (end != nullptr) *end = '\0';
}

bool MeasureCalibration(Results* results, void* buffer) {
  TimedBody bodies[kCalibrations];
  for (int i = 0; i < kCalibrations; ++i) bodies[i] = CalibrationBody(kCalibrationAdds[i]);
  return MeasureBodies(bodies, kCalibrations, buffer, results->calibration, &stop_signal);
}

// Every idiom that runs here, at each size: all of them in turns, size by size.
bool MeasureIdioms(Results* results, void* buffer) {
  for (int size = 0; size < results->size_count; ++size) {
    TimedBody bodies[kIdiomCount];
    int idioms[kIdiomCount];
    int count = 0;
    for (int i = 0; i < kIdiomCount; ++i) {
      if (results->idioms[i].skipped) continue;
      idioms[count] = i;
      bodies[count++] = BodyFor(kIdioms[i], results->sizes[size]);
    }
    Figure figures[kIdiomCount];
    if (!MeasureBodies(bodies, count, buffer, figures, &stop_signal)) return false;
    for (int k = 0; k < count; ++k) results->idioms[idioms[k]].figures[size] = figures[k];
  }
  return true;
}

// Pins the process to the CPU asked for, or to the one it started on, so that
// the clock reading and the figures come from one core.
bool PinProcess(const Options& options, uint64_t* cpu) {
  if (options.pinned) {
    *cpu = options.cpu;
    return PinTo(options.cpu);
  }
  const int current = sched_getcpu();
  *cpu = uint64_t(current);
  return current >= 0 && PinTo(uint64_t(current));
}

// Measures, prints the report and writes the JSON; the exit status.
int Run(const Options& options, Results* results, unsigned char* buffer) {
  results->clock = ReadClock();
  if (!MeasureCalibration(results, buffer) || !MeasureIdioms(results, buffer)) return Stopped();
  const Analysis analysis = Analyse(*results);
  PrintReport(stdout, *results, analysis);
  int status = FlushOutput();
  if (stop_signal) return Stopped();
  char error[640];
  if (options.json != nullptr &&
      !SaveJson(options.json, *results, analysis, &stop_signal, error, sizeof error)) {
    if (stop_signal) return Stopped();
    fprintf(stderr, "zerobench-idioms: %s\n", error);
    status = kFailure;
  }
  if (status == 0 && !analysis.trusted) {
    WhyUntrusted(*results, analysis, error, sizeof error);
    fprintf(stderr, "zerobench-idioms: the figures cannot be trusted: %s\n", error);
    status = kUntrusted;
  }
  return status;
}

// What the run starts from: the processor, the options and what can run.
void Prepare(const Options& options, Results* results) {
  ReadBannerLine(results->banner);
  results->features = DecodeFeatures(ReadCpuidValues());
  memcpy(results->switched_off, options.switched_off, sizeof results->switched_off);
  memcpy(results->sizes, options.sizes, sizeof results->sizes);
  results->size_count = options.size_count;
  results->misalign = options.misalign;
  for (int i = 0; i < kIdiomCount; ++i) {
    IdiomResult& idiom = results->idioms[i];
    idiom.skipped = WhySkipped(kIdioms[i], results->features, results->switched_off,
                               results->misalign, idiom.why, sizeof idiom.why);
  }
}

}  // namespace

int main(int argc, char** argv) {
  static Options options;
  char error[640];
  if (!ParseOptions(argc, argv, &options, error, sizeof error)) return UsageError(error);
  if (options.help) {
    puts(kUsage);
    return FlushOutput();
  }
  if (options.json != nullptr && !CheckOutputPath(options.json, error, sizeof error))
    return UsageError(error);
  static Results results;
  if (!PinProcess(options, &results.cpu)) {
    if (options.pinned) {
      snprintf(error, sizeof error, "this process may not use cpu %llu",
               (unsigned long long)options.cpu);
      return UsageError(error);
    }
    perror("zerobench-idioms: staying on one CPU");
    return kFailure;
  }
  CatchStopSignals();
  Prepare(options, &results);
  unsigned char* memory = AllocateBuffer(options.sizes[options.size_count - 1], options.misalign);
  if (memory == nullptr) {
    perror("zerobench-idioms: the buffer");
    return kFailure;
  }
  const int status = Run(options, &results, memory + options.misalign);
  free(memory);
  return status;
}
