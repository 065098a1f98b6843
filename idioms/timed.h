// The timed routines of zerobench-idioms (timed.S): one per idiom, body
// shape and copy count, reached through two tables.
//
// A routine runs `passes` passes of a loop whose body is COPIES_SINGLE (or
// COPIES_DOUBLE) copies of one clear, between counter reads fenced by
// LFENCE, and returns the ticks between them. The loop counter is a
// register; the difference between the two copy counts cancels the loop and
// the framing.
#pragma once

#define COPIES_SINGLE 4
#define COPIES_DOUBLE 8

#ifndef __ASSEMBLER__

#include <stdint.h>

extern "C" {

// buffer: where the clear begins; count: the shape's count (64-byte blocks
// of a loop, elements of a rep stos, bytes of a memset); passes >= 1.
using TimedRoutine = uint64_t (*)(void* buffer, uint32_t count, uint32_t passes);

// A routine and the end of its code, for the machine-code test.
struct RoutineCode {
  TimedRoutine run;
  const unsigned char* end;
};

// The idioms that clear with stores of their own width, in the tables' order.
enum ShapedKind {
  kMovImmediate,  // mov dword [m], 0
  kAndImmediate,  // and dword [m], 0
  kMovR32,        // mov [m], r32 from a zeroed register
  kMovR64,        // mov [m], r64 from a zeroed register (x86-64 only)
  kMovdqa,        // SSE2 16-byte aligned stores
  kVmovdqa,       // AVX 32-byte aligned stores
  kVmovdqa64,     // AVX-512 64-byte aligned stores
  kMovnti,        // non-temporal stores from a zeroed register, then sfence
  kMovntdq,       // non-temporal 16-byte stores, then sfence
  kClzero,        // AMD's clzero, a whole 64-byte line each
  kShapedKinds
};

// A shaped body is straight-line up to 64 bytes (shapes 0-3: 16, 32, 48 and
// 64 bytes), and above 64 bytes a loop of 64-byte blocks followed by a
// straight-line tail (shapes 4-7: a tail of 0, 16, 32 and 48 bytes).
const int kShapes = 8;

// The idioms whose body does not depend on the size but on the count, and
// the calibration bodies, chains of dependent `add r, r`.
enum PlainKind {
  kRepStosb,
  kRepStosd,
  kRepStosq,  // x86-64 only
  kMemset,
  kCalibration10,
  kCalibration100,
  kPlainKinds
};

// [kind][shape][0 for COPIES_SINGLE, 1 for COPIES_DOUBLE]; a null run where
// the build has no such routine.
extern const RoutineCode ShapedRoutines[kShapedKinds][kShapes][2];
extern const RoutineCode PlainRoutines[kPlainKinds][2];
}

#endif
