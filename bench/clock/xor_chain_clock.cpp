// xor-chain-clock: the core clock in Hz, measured so as to share none of
// zerobench-clock's premises, for bench/clock-probe's cross-check of it.
//
// A chain of dependent `xor r32, r32` (one core cycle each) is timed by
// CLOCK_MONOTONIC_RAW, not by the time-stamp counter: neither the probe's
// instructions, nor its serialized counter reads, nor its measurement of the
// counter's frequency. The clock's own cost cancels in the difference between
// the best (shortest) of a short and of a long chain.
//
// It prints `core-hz C` and runs on whatever CPUs it is given: the caller pins
// it. Compiled with -masm=intel.
//
// Usage: xor-chain-clock

#include <stdint.h>
#include <stdio.h>
#include <time.h>

namespace {

// Xors per pass of the chain loop, the two chain lengths in passes, and how
// many times each is timed. The long chain is about a quarter of a
// millisecond at 4 GHz, the whole run about 10 ms.
const uint64_t kBlockXors = 1000;
const uint32_t kShortPasses = 100;
const uint32_t kLongPasses = 1000;
const int kRepeats = 20;
// The busy wait that brings the core up to speed first, as the probe's does.
const int64_t kWarmUpNs = 5000000;

int64_t MonotonicRawNs() {
  timespec now;
  clock_gettime(CLOCK_MONOTONIC_RAW, &now);
  return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Nanoseconds taken by `passes` passes of kBlockXors dependent xors; LFENCE
// keeps the chain between the two clock reads.
int64_t TimeChain(uint32_t passes) {
  int64_t start = MonotonicRawNs();
  asm volatile(
      "lfence\n\t"
      "mov ecx, 1\n\t"
      "mov edx, 0x5a5a5a5a\n"
      "1:\n\t"
      ".rept %c[xors]\n\t"
      "xor ecx, edx\n\t"
      ".endr\n\t"
      "sub %[passes], 1\n\t"
      "jnz 1b\n\t"
      "lfence"
      : [passes] "+r"(passes)
      : [xors] "i"(kBlockXors)
      : "ecx", "edx", "cc", "memory");
  return MonotonicRawNs() - start;
}

// Core cycles per second: the xors the long chain has beyond the short one
// over the time they take (each chain's best of kRepeats, taking turns).
double CoreHz() {
  int64_t best_short = INT64_MAX, best_long = INT64_MAX;
  for (int i = 0; i < kRepeats; ++i) {
    int64_t short_ns = TimeChain(kShortPasses), long_ns = TimeChain(kLongPasses);
    if (short_ns < best_short) best_short = short_ns;
    if (long_ns < best_long) best_long = long_ns;
  }
  if (best_long <= best_short) return 0;
  return double((kLongPasses - kShortPasses) * kBlockXors) * 1e9 / double(best_long - best_short);
}

}  // namespace

int main(int argc, char**) {
  if (argc != 1) {
    fputs("xor-chain-clock: takes no arguments (usage: xor-chain-clock)\n", stderr);
    return 2;
  }
  int64_t start = MonotonicRawNs();
  while (MonotonicRawNs() - start < kWarmUpNs) {
  }
  printf("core-hz %.0f\n", CoreHz());
  if (fflush(stdout) == 0) return 0;
  perror("xor-chain-clock: writing to standard output");
  return 1;
}
