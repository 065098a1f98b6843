// zerobench-clock: core clock cycles per time-stamp-counter tick on the CPU it
// runs on, the counter's frequency, and the core clock they give.
//
// A chain of dependent register adds costs one core cycle per add, so adds
// per tick is the core clock in counter ticks. Each chain is framed by the
// same serialized counter reads as the timed routines; the framing cancels in
// the difference between the best (fewest ticks) of a short and of a long
// chain. The counter's frequency comes from CLOCK_MONOTONIC_RAW.
//
// Compiled with -masm=intel: the inline assembler is in Intel syntax.
//
// Usage: zerobench-clock [--cpu N] [--chain ADDS]

#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

namespace {

const char kUsage[] = "usage: zerobench-clock [--cpu N] [--chain ADDS]";
const int kUsageError = 2;

// Adds per pass of the chain loop; the loop's own counter and branch run
// beside the chain, off its critical path.
const uint64_t kBlockAdds = 1000;
// The two chain lengths, in passes, and how many times each is timed.
const uint32_t kShortPasses = 10;
const uint32_t kLongPasses = 100;
const int kRepeats = 40;
// How long the counter is compared with CLOCK_MONOTONIC_RAW. The busy wait
// also brings the core up to speed before the chains.
const int64_t kClockIntervalNs = 5000000;
// --chain ADDS: at most this many (the pass count must fit 32 bits).
const uint64_t kMostChainAdds = 1000000000000;

// Ticks taken by `passes` passes of kBlockAdds dependent adds, between
// CPUID-serialized RDTSC reads laid out as in the timed routines.
uint64_t TimeChain(uint32_t passes) {
  uint32_t start_low, start_high, end_low, end_high, chain = 0;
  asm volatile(
      "xor eax, eax\n\t"
      "cpuid\n\t"
      "rdtsc\n\t"
      "mov %[start_low], eax\n\t"
      "mov %[start_high], edx\n\t"
      "xor eax, eax\n\t"
      "cpuid\n"
      "1:\n\t"
      ".rept %c[adds]\n\t"
      "add %[chain], 1\n\t"
      ".endr\n\t"
      "sub %[passes], 1\n\t"
      "jnz 1b\n\t"
      "xor eax, eax\n\t"
      "cpuid\n\t"
      "rdtsc"
      // Early clobbers: the stamp's memory operands must not be addressed
      // through EAX or EDX.
      : [start_low] "=m"(start_low), [start_high] "=m"(start_high), "=&a"(end_low),
        "=&d"(end_high), [chain] "+r"(chain), [passes] "+r"(passes)
      : [adds] "i"(kBlockAdds)
      : "ebx", "ecx", "cc", "memory");
  return ((uint64_t(end_high) << 32 | end_low) - (uint64_t(start_high) << 32 | start_low));
}

// The counter, read after every earlier instruction and before every later one.
uint64_t ReadCounter() {
  uint32_t low, high;
  asm volatile("lfence\n\trdtsc\n\tlfence" : "=a"(low), "=d"(high) : : "memory");
  return uint64_t(high) << 32 | low;
}

int64_t MonotonicRawNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

struct ClockReading {
  uint64_t ticks;  // the counter when the clock was read
  int64_t ns;      // CLOCK_MONOTONIC_RAW
};

// The clock, with the counter at the middle of the tightest of several
// pairs of counter reads around it.
ClockReading ReadBothClocks() {
  ClockReading best = {0, 0};
  uint64_t best_width = UINT64_MAX;
  for (int i = 0; i < 16; ++i) {
    uint64_t before = ReadCounter();
    int64_t ns = MonotonicRawNs();
    uint64_t width = ReadCounter() - before;
    if (width < best_width) {
      best_width = width;
      best = {before + width / 2, ns};
    }
  }
  return best;
}

// Counter ticks per second of CLOCK_MONOTONIC_RAW, over a busy interval.
double CounterHz() {
  ClockReading start = ReadBothClocks();
  while (MonotonicRawNs() - start.ns < kClockIntervalNs) {
  }
  ClockReading end = ReadBothClocks();
  return double(end.ticks - start.ticks) * 1e9 / double(end.ns - start.ns);
}

// Core cycles per tick: the adds that the long chain has beyond the short one,
// over the ticks they take (each chain's best time of kRepeats).
double CyclesPerTick() {
  uint64_t best_short = UINT64_MAX, best_long = UINT64_MAX;
  for (int i = 0; i < kRepeats; ++i) {
    uint64_t short_ticks = TimeChain(kShortPasses);
    uint64_t long_ticks = TimeChain(kLongPasses);
    if (short_ticks < best_short) best_short = short_ticks;
    if (long_ticks < best_long) best_long = long_ticks;
  }
  return double((kLongPasses - kShortPasses) * kBlockAdds) / double(best_long - best_short);
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

// Binds the process to `cpu` if this process may use it.
bool PinTo(uint64_t cpu) {
  cpu_set_t allowed;
  if (sched_getaffinity(0, sizeof allowed, &allowed) != 0 || cpu >= CPU_SETSIZE ||
      !CPU_ISSET(cpu, &allowed)) {
    return false;
  }
  cpu_set_t only;
  CPU_ZERO(&only);
  CPU_SET(cpu, &only);
  return sched_setaffinity(0, sizeof only, &only) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* cpu_text = nullptr;
  const char* chain_text = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (strcmp(argv[i], "--help") == 0) {
      puts(kUsage);
      return FlushOutput();
    }
    const char** value = strcmp(argv[i], "--cpu") == 0     ? &cpu_text
                         : strcmp(argv[i], "--chain") == 0 ? &chain_text
                                                           : nullptr;
    if (value == nullptr) return UsageError("unknown argument ", argv[i]);
    if (i + 1 == argc) return UsageError(argv[i], " needs a number");
    *value = argv[++i];
  }
  uint64_t cpu = 0, chain_adds = 0;
  if (cpu_text != nullptr) {
    if (!ParseNumber(cpu_text, CPU_SETSIZE, &cpu)) return UsageError("bad CPU number ", cpu_text);
    if (!PinTo(cpu)) return UsageError("this process may not use cpu ", cpu_text);
  }
  if (chain_text != nullptr) {
    if (!ParseNumber(chain_text, kMostChainAdds, &chain_adds) || chain_adds == 0 ||
        chain_adds % kBlockAdds != 0) {
      return UsageError("--chain needs a multiple of 1000 up to 10^12, not ", chain_text);
    }
    printf("ticks %llu\n", (unsigned long long)TimeChain(uint32_t(chain_adds / kBlockAdds)));
  } else {
    double tick_hz = CounterHz();
    double ratio = CyclesPerTick();
    printf("cycles-per-tick %.4f tick-hz %.0f core-hz %.0f\n", ratio, tick_hz, ratio * tick_hz);
  }
  return FlushOutput();
}
