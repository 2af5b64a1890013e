#include "admin/QueryLineReader.h"

void TQueryLineReader::Feed(const char* data, size_t size) {
  input_.assign(data, size);
  pos_ = 0;
}

// A CR is held back until the next byte shows whether it ends the line; a
// CR inside a line is data and counts against the limit like any byte.
TQueryLineReader::TResult TQueryLineReader::Next(std::string& line) {
  while (pos_ < input_.size()) {
    const char c = input_[pos_++];
    if (c == '\n') {
      crPending_ = false;
      if (skipping_) {
        skipping_ = false;
        continue;
      }
      line.swap(line_);
      line_.clear();
      return TResult::Line;
    }
    if (skipping_) continue;
    if (crPending_) {
      crPending_ = false;
      if (!Append('\r')) return TResult::TooLong;
    }
    if (c == '\r') {
      crPending_ = true;
      continue;
    }
    if (!Append(c)) return TResult::TooLong;
  }
  input_.clear();
  pos_ = 0;
  return TResult::NeedMore;
}

bool TQueryLineReader::Append(char c) {
  if (line_.size() < kMaxLine) {
    line_.push_back(c);
    return true;
  }
  line_.clear();
  line_.shrink_to_fit();
  skipping_ = true;
  return false;
}
