// The clock probe's measurements (probe.h). Each chain is framed by counter
// reads fenced with LFENCE (not CPUID, see TIMED_CHAIN); the framing cancels
// in the difference between the best (fewest ticks) of a short and of a long
// chain. The counter's frequency comes from CLOCK_MONOTONIC_RAW.
//
// Compiled with -masm=intel: the inline assembler is in Intel syntax.
#include "probe.h"

#include <math.h>
#include <sched.h>
#include <time.h>

namespace {

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
// The core clock of every x86 processor lies in this range.
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

// Whether the chains are at most `most` apart, as a fraction of the smaller.
bool ChainsAgree(const Reading& reading, double most) {
  double lower = reading.add < reading.imul ? reading.add : reading.imul;
  return fabs(reading.add - reading.imul) <= most * lower;
}

}  // namespace

uint64_t TimeAddChain(uint32_t passes) { return TimeChain(Chain::kAdd, passes); }

double CounterHz() {
  ClockReading start = ReadBothClocks();
  while (MonotonicRawNs() - start.ns < kClockIntervalNs) {
  }
  ClockReading end = ReadBothClocks();
  return double(end.ticks - start.ticks) * 1e9 / double(end.ns - start.ns);
}

// The chains take turns, so that a change of the core clock reaches both alike.
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

Verdict Judge(const Reading& reading, double tick_hz) {
  if (!ChainsAgree(reading, kMostDisagreement)) return Verdict::kChainsDisagree;
  double core_hz = reading.Mean() * tick_hz;
  if (!(core_hz >= kLowestCoreHz && core_hz <= kHighestCoreHz)) return Verdict::kClockOutOfRange;
  return Verdict::kTrusted;
}

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
