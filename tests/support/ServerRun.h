// Test support: runs the built server executable (PARLEON_SERVER_EXE) in a
// working folder, waits for lines of its log, and shuts it down with
// SIGTERM as an operator would. The destructor kills a run still going.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

class TServerRun {
 public:
  TServerRun(const std::string& workDir, const std::vector<std::string>& args);
  ~TServerRun();
  TServerRun(const TServerRun&) = delete;
  TServerRun& operator=(const TServerRun&) = delete;

  // True once `file` contains `text` at or after byte `from`; false after `timeoutMs`.
  bool WaitForText(const std::string& file, const std::string& text, int timeoutMs, size_t from = 0) const;
  // Sends SIGTERM and waits; the exit code, or -1 on a signal or time-out.
  int Stop(int timeoutMs);

 private:
  pid_t pid_ = -1;
};
