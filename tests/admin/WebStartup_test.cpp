// The web interface in the process's start-up: a port that cannot be bound
// is logged and start-up goes on without the interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <thread>
#include <vector>

#include "common/IniFile.h"
#include "support/HeldPort.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

using std::chrono::seconds;

TEST(WebStartup, ABusyPortLeavesTheServerRunningWithoutTheInterface) {
  const THeldPort busy(SOCK_STREAM);  // not passed: the port is busy
  ASSERT_EQ(listen(busy.Fd(), 1), 0);
  TTempDir dir;
  TProcessPorts ports;
  WriteTestSettings(dir.File("server.ini"), busy.Port(), 0, ports.Udp());
  TServerProcess server(dir.Path(), {}, &ports);
  EXPECT_TRUE(server.WaitForLog("Server startup finished", seconds(30)));
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  EXPECT_NE(ReadFileText(dir.File("server.log"))
                .find(",WARNING,Important,SERVER,\tStart_Parleon_Server: cant initialise WebInterface: port " +
                      std::to_string(busy.Port()) + ": bind: Address already in use\r\n"),
            std::string::npos);
  // Standard output points to no administration address that is not there.
  const std::string out = ReadFileText(dir.File("stdout.txt"));
  EXPECT_EQ(out.find("http://localhost"), std::string::npos) << out;
  EXPECT_NE(out.find("running without web administration (port " + std::to_string(busy.Port()) +
                     ": bind: Address already in use)"),
            std::string::npos)
      << out;
}

// Connections in the middle of a request, kept alive by a byte a second, do
// not hold the process up: it stops in its usual five seconds and a little.
TEST(WebStartup, SlowConnectionsDoNotDelayTheShutdown) {
  TTempDir dir;
  TProcessPorts ports;
  const uint16_t webPort = ports.Tcp();
  WriteTestSettings(dir.File("server.ini"), webPort, 0, ports.Udp());
  TServerProcess server(dir.Path(), {}, &ports);
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30)));
  std::vector<int> slow;
  for (int i = 0; i < 4; ++i) {
    slow.push_back(ConnectLoopback(webPort));
    ASSERT_GE(slow.back(), 0);
    send(slow.back(), "GET / HTTP/1.1\r\n", 16, MSG_NOSIGNAL);
  }
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    while (!done) {
      for (int fd : slow) send(fd, "X", 1, MSG_NOSIGNAL);
      std::this_thread::sleep_for(seconds(1));
    }
  });
  const auto begun = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Stop(SIGTERM, seconds(30)), 0);
  EXPECT_LT(std::chrono::steady_clock::now() - begun, seconds(8));
  done = true;
  trickle.join();
  for (int fd : slow) close(fd);
}
