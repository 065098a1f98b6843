// zerobench-clock: core clock cycles per time-stamp-counter tick on one CPU,
// the counter's frequency, and the core clock they give.
//
// The measurements are probe.h's, shared with zerobench-idioms: two chains of
// dependent register operations, `add r, r` at one core cycle each and `imul
// r32, r32` at three, taking turns between counter reads fenced with LFENCE,
// and the counter's frequency against CLOCK_MONOTONIC_RAW.
//
// It prints
//   cycles-per-tick R tick-hz T core-hz C add A imul I
// with A and I each chain's cycles per tick, R their mean and C = R * T.
// A core that shortens either chain makes A and I disagree: beyond 3% of the
// smaller, or with C outside 0.1-10 GHz, it still prints the line, says why
// on standard error and exits with 3 (2 is a usage error, 1 another failure).
// Without --cpu it stays on the CPU it started on.
//
// --chain ADDS times one chain of ADDS register adds and prints `ticks N`.
// --cpuid CALLS times CALLS single CPUIDs (leaf 0, as the timed routines
// serialize with) and prints `cpuid-ticks best B median M max X calls N`,
// net of the fenced counter reads around each: on a guest whose CPUID traps
// to the hypervisor, thousands of ticks.
//
// Compiled with -masm=intel: the inline assembler is in Intel syntax.
//
// Usage: zerobench-clock [--cpu N] [--chain ADDS | --cpuid CALLS]

#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "probe.h"

namespace {

const char kUsage[] = "usage: zerobench-clock [--cpu N] [--chain ADDS | --cpuid CALLS]";
const int kUsageError = 2;
// A reading printed but not to be trusted: the chains disagree, or the core
// clock is out of range.
const int kUntrusted = 3;

// --cpuid CALLS: at most this many.
const uint64_t kMostCpuidCalls = 1000000;
// --chain ADDS: at most this many (the pass count must fit 32 bits).
const uint64_t kMostChainAdds = 1000000000000;

// Ticks between two fenced counter reads with one CPUID of leaf 0 between
// them, or with nothing (the frame alone).
#define TIMED_FRAME(between)                                                        \
  asm volatile(                                                                     \
      "lfence\n\trdtsc\n\tlfence\n\t"                                               \
      "mov %[start_low], eax\n\t"                                                   \
      "mov %[start_high], edx\n\t" between "lfence\n\trdtsc\n\tlfence"              \
      : [start_low] "=m"(start_low), [start_high] "=m"(start_high), "=&a"(end_low), \
        "=&d"(end_high)                                                             \
      :                                                                             \
      : "ebx", "ecx", "cc", "memory")

__attribute__((noinline)) uint64_t TimeCpuid(bool with_cpuid) {
  uint32_t start_low, start_high, end_low, end_high;
  if (with_cpuid) {
    TIMED_FRAME("xor eax, eax\n\tcpuid\n\t");
  } else {
    TIMED_FRAME("");
  }
  return ((uint64_t(end_high) << 32 | end_low) - (uint64_t(start_high) << 32 | start_low));
}

// A whole decimal number, digits only, at most `most`.
bool ParseNumber(const char* text, uint64_t most, uint64_t* value) {
  if (*text == '\0') return false;
  uint64_t number = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    number = number * 10 + uint64_t(*p - '0');
    if (number > most) return false;
  }
  *value = number;
  return true;
}

int UsageError(const char* what, const char* text) {
  fprintf(stderr, "zerobench-clock: %s%s (%s)\n", what, text, kUsage);
  return kUsageError;
}

// 0 once standard output is written out; 1, saying why, when it cannot be.
int FlushOutput() {
  if (fflush(stdout) == 0) return 0;
  perror("zerobench-clock: writing to standard output");
  return 1;
}

int CompareTicks(const void* a, const void* b) {
  uint64_t x = *static_cast<const uint64_t*>(a), y = *static_cast<const uint64_t*>(b);
  return x < y ? -1 : x > y ? 1 : 0;
}

// --cpuid: `calls` CPUIDs, each net of the best of as many empty frames.
int PrintCpuidCost(uint64_t calls) {
  uint64_t frame = UINT64_MAX;
  for (uint64_t i = 0; i < calls; ++i) {
    uint64_t ticks = TimeCpuid(false);
    if (ticks < frame) frame = ticks;
  }
  uint64_t* ticks = static_cast<uint64_t*>(malloc(calls * sizeof *ticks));
  if (ticks == nullptr) {
    perror("zerobench-clock: --cpuid");
    return 1;
  }
  for (uint64_t i = 0; i < calls; ++i) {
    uint64_t framed = TimeCpuid(true);
    ticks[i] = framed > frame ? framed - frame : 0;
  }
  qsort(ticks, calls, sizeof *ticks, CompareTicks);
  printf("cpuid-ticks best %llu median %llu max %llu calls %llu\n", (unsigned long long)ticks[0],
         (unsigned long long)ticks[calls / 2], (unsigned long long)ticks[calls - 1],
         (unsigned long long)calls);
  free(ticks);
  return FlushOutput();
}

}  // namespace

int main(int argc, char** argv) {
  const char* cpu_text = nullptr;
  const char* chain_text = nullptr;
  const char* cpuid_text = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      puts(kUsage);
      return FlushOutput();
    }
    const char** value = strcmp(argv[i], "--cpu") == 0     ? &cpu_text
                         : strcmp(argv[i], "--chain") == 0 ? &chain_text
                         : strcmp(argv[i], "--cpuid") == 0 ? &cpuid_text
                                                           : nullptr;
    if (value == nullptr) return UsageError("unknown argument ", argv[i]);
    if (i + 1 == argc) return UsageError(argv[i], " needs a number");
    *value = argv[++i];
  }
  uint64_t cpu = 0, chain_adds = 0, cpuid_calls = 0;
  if (chain_text != nullptr && cpuid_text != nullptr) {
    return UsageError("--chain and --cpuid", " are two different measurements: give one");
  }
  if (chain_text != nullptr && (!ParseNumber(chain_text, kMostChainAdds, &chain_adds) ||
                                chain_adds == 0 || chain_adds % kBlockAdds != 0)) {
    return UsageError("--chain needs a multiple of 1000 up to 10^12, not ", chain_text);
  }
  if (cpuid_text != nullptr &&
      (!ParseNumber(cpuid_text, kMostCpuidCalls, &cpuid_calls) || cpuid_calls == 0)) {
    return UsageError("--cpuid needs a number of calls from 1 to 10^6, not ", cpuid_text);
  }
  if (cpu_text != nullptr) {
    if (!ParseNumber(cpu_text, CPU_SETSIZE, &cpu)) return UsageError("bad CPU number ", cpu_text);
    if (!PinTo(cpu)) return UsageError("this process may not use cpu ", cpu_text);
  } else {
    // Both chains and the counter on one CPU: the one it started on.
    int current = sched_getcpu();
    if (current < 0 || !PinTo(uint64_t(current))) {
      perror("zerobench-clock: staying on one CPU");
      return 1;
    }
    cpu = uint64_t(current);
  }
  if (chain_text != nullptr) {
    printf("ticks %llu\n", (unsigned long long)TimeAddChain(uint32_t(chain_adds / kBlockAdds)));
    return FlushOutput();
  }
  if (cpuid_text != nullptr) return PrintCpuidCost(cpuid_calls);
  double tick_hz = CounterHz();
  Reading reading = CyclesPerTick();
  printf("cycles-per-tick %.4f tick-hz %.0f core-hz %.0f add %.4f imul %.4f\n", reading.Mean(),
         tick_hz, reading.Mean() * tick_hz, reading.add, reading.imul);
  int status = FlushOutput();
  if (status != 0) return status;
  switch (Judge(reading, tick_hz)) {
    case Verdict::kTrusted: return 0;
    case Verdict::kChainsDisagree:
      fprintf(
          stderr,
          "zerobench-clock: the two chains disagree on cpu %llu (add %.4f, imul %.4f core cycles "
          "per tick)\n",
          (unsigned long long)cpu, reading.add, reading.imul);
      return kUntrusted;
    case Verdict::kClockOutOfRange:
      fprintf(
          stderr,
          "zerobench-clock: a core clock of %.3f GHz on cpu %llu is outside 0.1-10 GHz, which no "
          "x86 processor runs at\n",
          reading.Mean() * tick_hz / 1e9, (unsigned long long)cpu);
      return kUntrusted;
  }
  return kUntrusted;
}
