// The report's exact shape: an expected banner, four result lines (mov, and,
// an empty line, mov, and, an empty line), the closing line, and the line
// end written after the key. The one definition of it that the harness
// programs and the end-to-end tests read, and what the drivers keep of it
// as it arrives.
#pragma once

#include <string>
#include <vector>

struct ReportShape {
  bool matches = false;
  std::string mismatch;  // what differs, and where
  long figures[4] = {};
  size_t figureStart[4] = {};  // offset of each figure's first byte
  size_t lineEnd[4] = {};      // offset just past each run's writes (with its empty line)
  size_t closingEnd = 0;       // offset just past the closing line
};

// finalLineEnd: whether the "\r\n" written after the key must follow.
ReportShape ParseReport(const std::string& output, const std::string& banner, bool finalLineEnd);

// The most of a program's standard output a driver keeps: far more than a
// report (under 1 KiB), and a bound on what a program that writes without
// end costs.
const size_t MostOutputBytes = 64 << 10;

// Where a report still being written stands, each byte looked at once.
class ReportProgress {
 public:
  // Takes in what output holds beyond what it held at the last call.
  void Follow(const std::string& output);

  // The first result line is out and the closing line is not, so the
  // program is in the middle of its runs.
  bool AmidTheRuns() const { return resultLineSeen_ && closingLineLast_ == std::string::npos; }

  // The offset of the closing line's last byte, std::string::npos until the
  // closing line is out.
  size_t ClosingLineLastByte() const { return closingLineLast_; }

 private:
  size_t followed_ = 0;  // how much of the output has been looked at
  bool resultLineSeen_ = false;
  size_t closingLineLast_ = std::string::npos;
};

// What a driver keeps of the program's standard output as it arrives.
struct ReceivedOutput {
  std::string output;                  // what the program wrote, up to MostOutputBytes
  std::vector<double> arrivalSeconds;  // per byte of output: when it arrived, from the start
  bool outputCut = false;              // it wrote more, which was read and dropped
  double closingLineSeconds = -1;      // when the closing line had arrived
  ReportProgress progress;

  // Takes in bytes that arrived `seconds` after the start.
  void Take(const char* bytes, size_t count, double seconds);
};

// The time at which output[offset] arrived.
double ArrivalOf(const ReceivedOutput& received, size_t offset);
