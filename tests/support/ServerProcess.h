// Test support: runs the built parleon-server executable in a folder of its
// own, waits for lines in its log and stops it with a signal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "support/HeldPort.h"

// Loopback ports a test holds for server processes: each bound here, kept
// while the object lives and handed to every process started with it, as a
// service manager would (LISTEN_FDS), so that no other test can take a port
// between its choice and its use. The process takes the socket whose type
// and port its settings name, and closes the others.
class TProcessPorts {
 public:
  uint16_t Udp() { return Hold(SOCK_DGRAM); }
  uint16_t Tcp() { return Hold(SOCK_STREAM); }
  std::vector<int> Fds() const;

 private:
  uint16_t Hold(int type);
  std::vector<std::unique_ptr<THeldPort>> held_;
};

class TServerProcess {
 public:
  // Starts PARLEON_SERVER_EXE with `args` in `workDir`, handing it the
  // sockets of `ports`; stdout and stderr go to workDir/stdout.txt.
  TServerProcess(const std::string& workDir, const std::vector<std::string>& args = {},
                 const TProcessPorts* ports = nullptr);
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
// the external address, no announcement, the default server on `udpPort`,
// the web interface on `webPort` and the query on `queryPort` (0: off).
void WriteTestSettings(const std::string& iniFile, int webPort, int queryPort, uint16_t udpPort);
