// Timing one test body, and the result line of a run.
#pragma once

#include <cstdint>

#include "measure/passes.h"

// The two test bodies: 100 words of ScratchArea cleared by storing an
// immediate zero into each, or by AND-ing each with an immediate zero.
enum Body { MovBody, AndBody };

extern "C" {
// The measurement's static data, laid out with the timed routines.
extern std::int32_t LoopCount;     // passes of each loop; the figure's divisor
extern std::uint32_t LoopCounter;  // passes left in the loop being timed
extern std::int64_t CycleResult;   // the net tick count, then ticks per pass
extern std::uint32_t ScratchArea[100];

// One timed routine per body: CycleResult <- ticks of PASS_COUNT test-loop
// passes minus ticks of PASS_COUNT empty-loop passes.
void TimeMovBody();
void TimeAndBody();

// dividend / divisor on the x87 unit, rounded to nearest with ties to even.
std::int64_t DivideRounded(std::int64_t dividend, std::int32_t divisor);
}

// Times the body at high priority and leaves its ticks per pass in
// CycleResult, with the process back at normal priority.
void MeasureCycles(Body body);

// Writes the figure's low 32 bits, read as signed, then the label.
void ReportLine(std::int64_t figure, char* numberText, const char* label);
