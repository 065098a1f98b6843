// The clock probe's measurements: core clock cycles per time-stamp-counter
// tick on the CPU the caller is on, and the counter's frequency. The probe
// (zerobench-clock) and zerobench-idioms both link them.
//
// Two chains of dependent register operations are timed, taking turns: `add
// r, r` at one core cycle each and `imul r32, r32` at three. Each chain's
// operations per tick, times its latency, is the core clock in counter ticks.
// No operand is an immediate: recent cores fold chains of `add r, imm` at
// rename, several per cycle. A core that shortens either chain makes the two
// readings disagree.
#pragma once

#include <stdint.h>

// Adds per pass of the add chain: TimeAddChain's passes are blocks of this many.
const uint64_t kBlockAdds = 1000;
// The two chains must agree within this fraction of the smaller reading.
const double kMostDisagreement = 0.03;

// Core cycles per tick by each chain.
struct Reading {
  double add, imul;
  double Mean() const { return (add + imul) / 2; }
};

// Whether a reading can be trusted: a core that shortens either chain makes
// the two disagree, and a core clock outside 0.1-10 GHz is a misreading.
enum class Verdict { kTrusted, kChainsDisagree, kClockOutOfRange };

// Ticks taken by `passes` passes of kBlockAdds dependent register adds,
// between counter reads fenced by LFENCE.
uint64_t TimeAddChain(uint32_t passes);

// Counter ticks per second of CLOCK_MONOTONIC_RAW, over a 5 ms busy wait that
// also brings the core up to speed.
double CounterHz();

// Each chain's cycles per tick: the cycles that its long timing has beyond
// its short one, over the ticks they take (the best of all its timings).
// While the two are more than 1% apart, further rounds refine the best
// timings. A chain that seems to take no time reads 0.
Reading CyclesPerTick();

Verdict Judge(const Reading& reading, double tick_hz);

// Binds the process to `cpu` if this process may use it.
bool PinTo(uint64_t cpu);
