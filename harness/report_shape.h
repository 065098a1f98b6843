// The report's exact shape: an expected banner, four result lines (mov, and,
// an empty line, mov, and, an empty line), the closing line, and the line
// end written after the key. The one definition of it that the harness
// programs and the end-to-end tests read.
#pragma once

#include <string>

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

// Where a report still being written stands: the first result line is out
// and the closing line is not, so the program is in the middle of its runs.
bool AmidTheRuns(const std::string& output);

// The offset of the closing line's last byte, std::string::npos until the
// closing line is out.
size_t ClosingLineLastByte(const std::string& output);
