#include "report_shape.h"

#include <algorithm>
#include <cctype>

namespace {

const char ResultLabel[] = "\tcycles for 100*";  // before the body's name
const char ClosingLine[] = "--- ok ---\r";
const char LineEnd[] = "\r\n";

class Reader {
 public:
  Reader(const std::string& text, ReportShape& shape) : text_(text), shape_(shape) {}

  size_t at() const { return at_; }

  bool Literal(const std::string& expected, const char* what) {
    if (text_.compare(at_, expected.size(), expected) != 0) return Fail(what);
    at_ += expected.size();
    return true;
  }

  // A decimal figure: an optional "-", digits, no padding, no leading zero.
  bool Figure(long& value) {
    size_t digits = at_ + (at_ < text_.size() && text_[at_] == '-' ? 1 : 0);
    size_t end = digits;
    while (end < text_.size() && std::isdigit(static_cast<unsigned char>(text_[end]))) ++end;
    if (end == digits || end - digits > 10) return Fail("a figure");
    if (text_[digits] == '0' && (end - digits > 1 || digits != at_))
      return Fail("a figure without leading zeros");
    value = std::stol(text_.substr(at_, end - at_));
    at_ = end;
    return true;
  }

  bool AtEnd() { return at_ == text_.size() || Fail("the end of the output"); }

 private:
  bool Fail(const char* what) {
    shape_.mismatch = std::string("expected ") + what + " at offset " + std::to_string(at_) +
                      ", found \"" + Visible(text_.substr(at_, 24)) + "\"";
    return false;
  }

  static std::string Visible(const std::string& bytes) {
    std::string shown;
    for (char byte : bytes) {
      if (byte == '\r')
        shown += "\\r";
      else if (byte == '\n')
        shown += "\\n";
      else if (byte == '\t')
        shown += "\\t";
      else
        shown += byte;
    }
    return shown;
  }

  const std::string& text_;
  ReportShape& shape_;
  size_t at_ = 0;
};

// Where a text `length` bytes long may begin that was not whole in the
// first `followed` bytes.
size_t NewFrom(size_t followed, size_t length) {
  return followed >= length ? followed - (length - 1) : 0;
}

}  // namespace

ReportShape ParseReport(const std::string& output, const std::string& banner, bool finalLineEnd) {
  ReportShape shape;
  Reader reader(output, shape);
  if (!reader.Literal(banner, "the banner")) return shape;
  static const char* const Labels[4] = {"mov", "and", "mov", "and"};
  for (int run = 0; run < 4; ++run) {
    shape.figureStart[run] = reader.at();
    if (!reader.Figure(shape.figures[run])) return shape;
    if (!reader.Literal(ResultLabel + std::string(Labels[run]) + LineEnd, "the run's label"))
      return shape;
    if (run % 2 == 1 && !reader.Literal(LineEnd, "an empty line")) return shape;
    shape.lineEnd[run] = reader.at();
  }
  if (!reader.Literal(LineEnd + std::string(ClosingLine), "the closing line")) return shape;
  shape.closingEnd = reader.at();
  if (finalLineEnd && !reader.Literal(LineEnd, "the line end after the key")) return shape;
  shape.matches = reader.AtEnd();
  return shape;
}

void ReportProgress::Follow(const std::string& output) {
  if (!resultLineSeen_)
    resultLineSeen_ =
        output.find(ResultLabel, NewFrom(followed_, sizeof ResultLabel - 1)) != std::string::npos;
  if (closingLineLast_ == std::string::npos) {
    const size_t closing = output.find(ClosingLine, NewFrom(followed_, sizeof ClosingLine - 1));
    if (closing != std::string::npos) closingLineLast_ = closing + sizeof ClosingLine - 2;
  }
  followed_ = output.size();
}

void ReceivedOutput::Take(const char* bytes, size_t count, double seconds) {
  const size_t kept = std::min(count, MostOutputBytes - output.size());
  outputCut = outputCut || kept < count;
  output.append(bytes, kept);
  arrivalSeconds.resize(output.size(), seconds);
  progress.Follow(output);
  const size_t closingLineLast = progress.ClosingLineLastByte();
  if (closingLineSeconds < 0 && closingLineLast != std::string::npos)
    closingLineSeconds = ArrivalOf(*this, closingLineLast);
}

double ArrivalOf(const ReceivedOutput& received, size_t offset) {
  return offset < received.arrivalSeconds.size() ? received.arrivalSeconds[offset] : -1;
}
