// TQueryLineReader: cuts the byte stream of one query connection into
// command lines. A line ends with LF; a CR right before the LF is dropped.
// A line longer than kMaxLine bytes is reported once, as soon as it passes
// the limit, and the rest of it is skipped up to its LF: nothing a peer
// sends makes the reader hold more than kMaxLine bytes of a line plus the
// last chunk fed.
//
// Used by TTCPQuery's sessions on the I/O thread; fuzzed on its own.
// Thread-safety: none; one connection's reader is used by one thread.
#pragma once

#include <cstddef>
#include <string>

class TQueryLineReader {
 public:
  static constexpr size_t kMaxLine = 4096;

  enum class TResult { NeedMore, Line, TooLong };

  // Appends received bytes. Call only after Next() reported NeedMore: the
  // previous chunk must have been consumed.
  void Feed(const char* data, size_t size);
  // The next event of the bytes fed so far. Line: `line` holds the line
  // without its end. TooLong: a line passed kMaxLine (reported once per line).
  TResult Next(std::string& line);

 private:
  // False (and skipping from here) when the line is already kMaxLine long.
  bool Append(char c);

  std::string input_;   // the chunk being consumed
  size_t pos_ = 0;      // next unread byte of input_
  std::string line_;    // the line so far
  bool crPending_ = false;
  bool skipping_ = false;  // inside an over-long line, until its LF
};
