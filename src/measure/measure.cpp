#include "measure/measure.h"

#include "console/console.h"
#include "platform/platform.h"

void MeasureCycles(Body body) {
  LoopCount = PASS_COUNT;
  SetPriorityClass(GetCurrentProcess(), HIGH_PRIORITY_CLASS);
  if (body == MovBody)
    TimeMovBody();
  else
    TimeAndBody();
  SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  CycleResult = DivideRounded(CycleResult, LoopCount);
}

void ReportLine(std::int64_t figure, char* numberText, const char* label) {
  FormatSigned(static_cast<std::int32_t>(static_cast<std::uint32_t>(figure)), numberText);
  PrintText(numberText);
  PrintText(label);
}
