// Test support: runs the built parleon-server executable in a folder of its
// own, waits for lines in its log and stops it with a signal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

class TServerProcess {
 public:
  // Starts PARLEON_SERVER_EXE with `args` in `workDir`; stdout and stderr go
  // to workDir/stdout.txt.
  TServerProcess(const std::string& workDir, const std::vector<std::string>& args = {});
  ~TServerProcess();  // kills the process if it still runs

  // Waits until `text` appears in `logFile` (default workDir/server.log) at
  // or after byte `from`.
  bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout, std::string logFile = "",
                  size_t from = 0);
  // Sends `sig` and waits for the exit; the exit status, or -1 on time-out.
  int Stop(int sig, std::chrono::milliseconds timeout);
  // Waits for the process to end by itself; the exit status, or -1 on time-out.
  int WaitExit(std::chrono::milliseconds timeout);
  pid_t Pid() const { return pid_; }

 private:
  std::string workDir_;
  pid_t pid_ = -1;
};

// Writes a server.ini for a process under test: loopback only, no lookup of
// the external address, no announcement, the default server on a free UDP
// port, the web interface on `webPort` and the query on `queryPort` (0: off).
void WriteTestSettings(const std::string& iniFile, int webPort, int queryPort);
