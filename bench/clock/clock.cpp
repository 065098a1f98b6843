// zerobench-clock: core clock cycles per time-stamp-counter tick on one CPU,
// the counter's frequency, and the core clock they give.
//
// Two chains of dependent register operations are timed, taking turns: `add
// r, r` at one core cycle each and `imul r32, r32` at three. Each chain's
// operations per tick, times its latency, is the core clock in counter ticks.
// No operand is an immediate: recent cores fold chains of `add r, imm` at
// rename, several per cycle. Each chain is framed by counter reads fenced
// with LFENCE (not CPUID, see TIMED_CHAIN); the framing cancels in the difference
// between the best (fewest ticks) of a short and of a long chain. While the
// two readings are more than 1% apart, further rounds of turns refine the
// best timings. The counter's frequency comes from CLOCK_MONOTONIC_RAW.
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

#include <math.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

namespace {

const char kUsage[] = "usage: zerobench-clock [--cpu N] [--chain ADDS | --cpuid CALLS]";
const int kUsageError = 2;
// A reading printed but not to be trusted: the chains disagree, or the core
// clock is out of range.
const int kUntrusted = 3;

// Adds per pass of the add chain's loop; the loop's own counter and branch
// run beside the chain, off its critical path.
const uint64_t kBlockAdds = 1000;
// --cpuid CALLS: at most this many.
const uint64_t kMostCpuidCalls = 1000000;
// The two chain lengths, in passes, and how many times each is timed.
const uint32_t kShortPasses = 10;
const uint32_t kLongPasses = 100;
const int kRepeats = 40;
// Rounds of kRepeats turns of both chains, the best timings kept across
// them: after the first, only while the chains are more than kSettled apart.
// Another thread on the same physical core (a hyperthread sibling, perhaps of
// another virtual machine) can hold one chain back for milliseconds; a core
// that shortens a chain does so in every round.
const int kMostRounds = 5;
const double kSettled = 0.01;
// How long the counter is compared with CLOCK_MONOTONIC_RAW. The busy wait
// also brings the core up to speed before the chains.
const int64_t kClockIntervalNs = 5000000;
// --chain ADDS: at most this many (the pass count must fit 32 bits).
const uint64_t kMostChainAdds = 1000000000000;
// The two chains must agree within this fraction of the smaller reading, and
// their core clock lie in this range, which every x86 processor's does.
const double kMostDisagreement = 0.03;
const double kLowestCoreHz = 1e8;
const double kHighestCoreHz = 1e10;
// The imul chain's factor: odd, so that the product keeps changing and never
// settles on a 0 or 1 that a multiplier might finish early on.
const uint32_t kImulFactor = 0x9e3779b1;

// The two chains. Their operands are registers only: recent cores fold chains
// of `add r, imm` (and `sub`, `inc`) at rename, several per cycle.
enum class Chain {
  kAdd,   // add r, r: 1 core cycle each, on the full-width register
  kImul,  // imul r32, r32: 3 core cycles each
};
const int kChainCount = 2;
const uint64_t kChainCycles[kChainCount] = {1, 3};  // per operation
// Operations per pass: a pass of either chain takes about 1000 cycles, so
// that both are as exposed to interruptions.
const uint64_t kChainOps[kChainCount] = {kBlockAdds, kBlockAdds / 3};

// The chain lives in ECX (RCX, the full width, in 64-bit mode), the imul's
// factor in EBX.
#if defined(__x86_64__)
#define CHAIN_REGISTER "rcx"
#else
#define CHAIN_REGISTER "ecx"
#endif

// Ticks taken by `passes` passes of `count` copies of `op`, an instruction
// on the chain register, between counter reads fenced by LFENCE: the read
// waits for every earlier instruction, and no later one starts before it.
// Unlike CPUID, which the timed routines use and which on some hosts traps to
// the hypervisor for 10,000 ticks and more with wide jitter, LFENCE stays in
// the guest, so a chain of a few thousand ticks is not drowned by its frame.
// Early clobbers: the stamp's memory operands must not be addressed through
// EAX or EDX.
#define TIMED_CHAIN(op, count)                                                      \
  asm volatile(                                                                     \
      "lfence\n\t"                                                                  \
      "rdtsc\n\t"                                                                   \
      "lfence\n\t"                                                                  \
      "mov %[start_low], eax\n\t"                                                   \
      "mov %[start_high], edx\n\t"                                                  \
      "mov ecx, 1\n\t"                                                              \
      "mov ebx, %c[factor]\n"                                                       \
      "1:\n\t"                                                                      \
      ".rept %c[ops]\n\t" op                                                        \
      "\n\t"                                                                        \
      ".endr\n\t"                                                                   \
      "sub %[passes], 1\n\t"                                                        \
      "jnz 1b\n\t"                                                                  \
      "lfence\n\t"                                                                  \
      "rdtsc\n\t"                                                                   \
      "lfence"                                                                      \
      : [start_low] "=m"(start_low), [start_high] "=m"(start_high), "=&a"(end_low), \
        "=&d"(end_high), [passes] "+r"(passes)                                      \
      : [ops] "i"(count), [factor] "i"(kImulFactor)                                 \
      : "ebx", "ecx", "cc", "memory")

__attribute__((noinline)) uint64_t TimeChain(Chain kind, uint32_t passes) {
  uint32_t start_low, start_high, end_low, end_high;
  if (kind == Chain::kAdd) {
    TIMED_CHAIN("add " CHAIN_REGISTER ", " CHAIN_REGISTER, kChainOps[int(Chain::kAdd)]);
  } else {
    TIMED_CHAIN("imul ecx, ebx", kChainOps[int(Chain::kImul)]);
  }
  return ((uint64_t(end_high) << 32 | end_low) - (uint64_t(start_high) << 32 | start_low));
}

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

// Core cycles per tick by each chain.
struct Reading {
  double add, imul;
  double Mean() const { return (add + imul) / 2; }
};

// Whether the chains are at most `most` apart, as a fraction of the smaller.
bool ChainsAgree(const Reading& reading, double most) {
  double lower = reading.add < reading.imul ? reading.add : reading.imul;
  return fabs(reading.add - reading.imul) <= most * lower;
}

// Each chain's reading: the cycles that its long timing has beyond its short
// one, over the ticks they take (the best of all its timings). The chains
// take turns, so that a change of the core clock reaches both alike. A chain
// that seems to take no time reads 0.
Reading CyclesPerTick() {
  const uint32_t passes[2] = {kShortPasses, kLongPasses};
  uint64_t best[kChainCount][2];
  for (auto& chain : best) chain[0] = chain[1] = UINT64_MAX;
  Reading reading = {0, 0};
  for (int round = 0; round < kMostRounds && (round == 0 || !ChainsAgree(reading, kSettled));
       ++round) {
    for (int i = 0; i < kRepeats; ++i) {
      for (int length = 0; length < 2; ++length) {
        for (int chain = 0; chain < kChainCount; ++chain) {
          uint64_t ticks = TimeChain(Chain(chain), passes[length]);
          if (ticks < best[chain][length]) best[chain][length] = ticks;
        }
      }
    }
    double cycles_per_tick[kChainCount];
    for (int chain = 0; chain < kChainCount; ++chain) {
      uint64_t ticks = best[chain][1] > best[chain][0] ? best[chain][1] - best[chain][0] : 0;
      uint64_t cycles = (kLongPasses - kShortPasses) * kChainOps[chain] * kChainCycles[chain];
      cycles_per_tick[chain] = ticks == 0 ? 0 : double(cycles) / double(ticks);
    }
    reading = {cycles_per_tick[int(Chain::kAdd)], cycles_per_tick[int(Chain::kImul)]};
  }
  return reading;
}

// Whether a reading can be trusted: a core that shortens either chain makes
// the two disagree, and a core clock outside kLowestCoreHz..kHighestCoreHz is
// a misreading.
enum class Verdict { kTrusted, kChainsDisagree, kClockOutOfRange };

Verdict Judge(const Reading& reading, double tick_hz) {
  if (!ChainsAgree(reading, kMostDisagreement)) return Verdict::kChainsDisagree;
  double core_hz = reading.Mean() * tick_hz;
  if (!(core_hz >= kLowestCoreHz && core_hz <= kHighestCoreHz)) return Verdict::kClockOutOfRange;
  return Verdict::kTrusted;
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
    printf("ticks %llu\n",
           (unsigned long long)TimeChain(Chain::kAdd, uint32_t(chain_adds / kBlockAdds)));
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
