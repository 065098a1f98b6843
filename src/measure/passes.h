/* Passes of each timed loop, and the divisor of every figure. Shared by the
   C++ code and the timed routines. */
#pragma once
#define PASS_COUNT 1000000
