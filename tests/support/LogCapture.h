// Test support: installs a log sink that keeps every line in memory, in
// place of the global logger, for as long as it lives.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "common/Log.h"

class TLogCapture : public TLogObject {
 public:
  struct TLine {
    std::string Source, Message;
    TLogMessageType Type;
    TLogMessageDepth Depth;
  };

  TLogCapture();
  ~TLogCapture() override;
  void WriteLine(std::string_view msg, std::string_view source, TLogMessageType type,
                 TLogMessageDepth depth) override;
  void Open() override {}
  void LogMemory() override {}
  std::vector<TLine> Lines();
  // The messages only, in order.
  std::vector<std::string> Messages();

 private:
  std::mutex mutex_;
  std::vector<TLine> lines_;
  TLogObject* previous_;
};
