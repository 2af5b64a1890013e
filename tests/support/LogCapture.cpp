#include "support/LogCapture.h"

TLogCapture::TLogCapture() {
  Types = 0xFF;
  Depths = 0xFF;
  previous_ = Logger.exchange(this);
}

TLogCapture::~TLogCapture() {
  Logger.exchange(previous_);
  // A server thread may have written its last line just before; taking the
  // lock orders that write before the lines are freed.
  std::lock_guard<std::mutex> lock(mutex_);
}

void TLogCapture::WriteLine(std::string_view msg, std::string_view source, TLogMessageType type,
                            TLogMessageDepth depth) {
  std::lock_guard<std::mutex> lock(mutex_);
  lines_.push_back({std::string(source), std::string(msg), type, depth});
}

std::vector<TLogCapture::TLine> TLogCapture::Lines() {
  std::lock_guard<std::mutex> lock(mutex_);
  return lines_;
}

std::vector<std::string> TLogCapture::Messages() {
  std::vector<std::string> out;
  for (const TLine& l : Lines()) out.push_back(l.Message);
  return out;
}
