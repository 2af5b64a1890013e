// The executable as a systemd service sees it: the readiness and stopping
// notices, SIGHUP after log rotation, and the start and stop lines on
// standard error. One run, since each ends with the 5-second shutdown pause.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/IniFile.h"
#include "support/FreePort.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

namespace {

using std::chrono::seconds;

// The service manager's end of NOTIFY_SOCKET.
class TNotifySocket {
 public:
  explicit TNotifySocket(const std::string& path) : fd_(socket(AF_UNIX, SOCK_DGRAM, 0)) {
    sockaddr_un a{};
    a.sun_family = AF_UNIX;
    std::strncpy(a.sun_path, path.c_str(), sizeof a.sun_path - 1);
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) ADD_FAILURE() << "bind " << path;
  }
  ~TNotifySocket() { close(fd_); }
  // The next notice, or "" when none comes in time.
  std::string Receive(std::chrono::milliseconds timeout) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) != 1) return "";
    char buf[256];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
  }

 private:
  int fd_;
};

TEST(ServiceTest, NotifiesReadyAndStoppingReopensTheLogOnSighupAndTellsStderr) {
  TTempDir dir;
  {
    TIniFile ini(dir.File("server.ini"));
    ini.WriteBool("Main Config", "HTTPServer Enabled", false);
    ini.WriteInteger("Main Config", "TCPQueryPort", 0);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", FreeUDPPort());
  }
  TNotifySocket notify(dir.File("notify"));
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  TServerProcess server(dir.Path());
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
  EXPECT_EQ(notify.Receive(seconds(10)), "READY=1");

  // What logrotate does: move the file, then SIGHUP.
  ASSERT_EQ(std::rename(dir.File("server.log").c_str(), dir.File("server.log.1").c_str()), 0);
  ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
  EXPECT_TRUE(server.WaitForLog(",ALL,Info,server,\tLog file reopened\r\n", seconds(10)));
  EXPECT_EQ(ReadFileText(dir.File("server.log.1")).find("Log file reopened"), std::string::npos);

  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  EXPECT_EQ(notify.Receive(seconds(1)), "STOPPING=1");
  EXPECT_NE(ReadFileText(dir.File("server.log")).find("Server shutdown finished"), std::string::npos);
  const std::string out = ReadFileText(dir.File("stdout.txt"));
  for (const char* line : {"parleon-server: Server startup finished, version 2.0.18.25 Linux\n",
                           "parleon-server: Server shutdown initialized (signal 15)\n",
                           "parleon-server: Server shutdown finished\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
}

}  // namespace
