#include "support/ServerProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <stdexcept>
#include <thread>

#include "common/IniFile.h"
#include "support/TempDir.h"

#ifndef PARLEON_SERVER_EXE
#define PARLEON_SERVER_EXE "parleon-server"
#endif

uint16_t TProcessPorts::Hold(int type) {
  held_.push_back(std::make_unique<THeldPort>(type));
  return held_.back()->Port();
}

std::vector<int> TProcessPorts::Fds() const {
  std::vector<int> fds;
  for (const auto& port : held_) fds.push_back(port->Fd());
  return fds;
}

TServerProcess::TServerProcess(const std::string& workDir, const std::vector<std::string>& args,
                               const TProcessPorts* ports)
    : workDir_(workDir) {
  std::vector<std::string> argv{PARLEON_SERVER_EXE};
  argv.insert(argv.end(), args.begin(), args.end());
  std::vector<char*> cargs;
  for (auto& a : argv) cargs.push_back(a.data());
  cargs.push_back(nullptr);
  std::vector<int> passed = ports ? ports->Fds() : std::vector<int>{};
  // The child may only make async-signal-safe calls (another thread of the
  // test may hold the allocator's lock at the fork): its environment is
  // built here, the variables of the socket passing in place of any the
  // test runner had, with room for the child's pid to be written in.
  std::vector<std::string> env;
  for (char** e = environ; *e; ++e)
    if (std::strncmp(*e, "LISTEN_", 7) != 0) env.emplace_back(*e);
  if (!passed.empty()) {
    env.push_back("LISTEN_FDS=" + std::to_string(passed.size()));
    env.push_back(std::string(32, '\0'));
  }
  std::vector<char*> cenv;
  for (auto& e : env) cenv.push_back(e.data());
  cenv.push_back(nullptr);
  pid_ = fork();
  if (pid_ < 0) throw std::runtime_error("fork failed");
  if (pid_ == 0) {
    if (chdir(workDir.c_str()) != 0) _exit(126);
    // The passed sockets go to descriptors 3, 4, ... as a service manager
    // puts them; first out of the way of those numbers (the copies close
    // at exec).
    for (int& fd : passed)
      if ((fd = fcntl(fd, F_DUPFD_CLOEXEC, 64)) < 0) _exit(126);
    const int out = open("stdout.txt", O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (out >= 0) {
      dup2(out, 1);
      dup2(out, 2);
    }
    for (size_t i = 0; i < passed.size(); ++i)
      if (dup2(passed[i], 3 + static_cast<int>(i)) < 0) _exit(126);
    if (!passed.empty()) {
      char* pidVar = env.back().data();
      std::memcpy(pidVar, "LISTEN_PID=", 11);
      char digits[16];
      int n = 0;
      for (unsigned long pid = static_cast<unsigned long>(getpid()); pid; pid /= 10) digits[n++] = static_cast<char>('0' + pid % 10);
      for (int i = 0; i < n; ++i) pidVar[11 + i] = digits[n - 1 - i];
    }
    // The test runner may block signals; the server must see them as usual.
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    execve(cargs[0], cargs.data(), cenv.data());
    _exit(127);
  }
}

TServerProcess::~TServerProcess() {
  if (pid_ > 0) {
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
  }
}

bool TServerProcess::WaitForLog(const std::string& text, std::chrono::milliseconds timeout, std::string logFile,
                                size_t from) {
  if (logFile.empty()) logFile = workDir_ + "/server.log";
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    if (ReadFileText(logFile).find(text, from) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

int TServerProcess::WaitExit(std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (std::chrono::steady_clock::now() < deadline) {
    int status = 0;
    const pid_t r = waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return -1;
}

int TServerProcess::Stop(int sig, std::chrono::milliseconds timeout) {
  if (pid_ <= 0) return -1;
  kill(pid_, sig);
  return WaitExit(timeout);
}

void WriteTestSettings(const std::string& iniFile, int webPort, int queryPort, uint16_t udpPort) {
  TIniFile ini(iniFile);
  ini.WriteInteger("Main Config", "HTTPServer Port", webPort);
  ini.WriteInteger("Main Config", "TCPQueryPort", queryPort);
  ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
  ini.WriteBool("Main Config", "ExternalIPDectection", false);  // no lookup of the built-in list
  ini.WriteBool("WebPost", "Enabled", false);
  ini.WriteInteger("server_cfg Default", "ServerUDPPort", udpPort);
}
