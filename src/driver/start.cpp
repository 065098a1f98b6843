#include "driver/start.h"

#include "console/console.h"
#include "measure/measure.h"
#include "platform/platform.h"
#include "processor/processor.h"

namespace {

constexpr PaddedText MovLabel{"\tcycles for 100*mov\r\n"};
constexpr PaddedText AndLabel{"\tcycles for 100*and\r\n"};
constexpr PaddedText LineEnd{"\r\n"};
// Ends in a bare CR: the cursor waits at the start of the closing line.
constexpr PaddedText ClosingLine{"\r\n--- ok ---\r"};

struct Run {
  DWORD pauseMilliseconds;
  Body body;
  const char* label;
  bool emptyLineAfter;
};

const Run Runs[] = {
    {50, MovBody, MovLabel.bytes, false},
    {100, AndBody, AndLabel.bytes, true},
    {50, MovBody, MovLabel.bytes, false},
    {100, AndBody, AndLabel.bytes, true},
};

NumberText RunNumberTexts[sizeof Runs / sizeof Runs[0]];

}  // namespace

void Start() {
  ShowProcessor();
  for (unsigned i = 0; i < sizeof Runs / sizeof Runs[0]; ++i) {
    const Run& run = Runs[i];
    Sleep(run.pauseMilliseconds);
    MeasureCycles(run.body);
    ReportLine(CycleResult, RunNumberTexts[i], run.label);
    if (run.emptyLineAfter) PrintText(LineEnd.bytes);
  }
  PrintText(ClosingLine.bytes);
  WaitKey();
  PrintText(LineEnd.bytes);
  ExitProcess(0);
}
