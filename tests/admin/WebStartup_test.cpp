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
#include "support/FreePort.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

using std::chrono::seconds;

TEST(WebStartup, ABusyPortLeavesTheServerRunningWithoutTheInterface) {
  const int busy = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ASSERT_EQ(bind(busy, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
  ASSERT_EQ(listen(busy, 1), 0);
  ASSERT_EQ(getsockname(busy, reinterpret_cast<sockaddr*>(&a), &len), 0);
  TTempDir dir;
  WriteTestSettings(dir.File("server.ini"), ntohs(a.sin_port), 0);
  TServerProcess server(dir.Path());
  EXPECT_TRUE(server.WaitForLog("Server startup finished", seconds(30)));
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  close(busy);
  EXPECT_NE(ReadFileText(dir.File("server.log"))
                .find(",WARNING,Important,SERVER,\tStart_Parleon_Server: cant initialise WebInterface: port " +
                      std::to_string(ntohs(a.sin_port)) + ": bind: Address already in use\r\n"),
            std::string::npos);
  // Standard output points to no administration address that is not there.
  const std::string out = ReadFileText(dir.File("stdout.txt"));
  EXPECT_EQ(out.find("http://localhost"), std::string::npos) << out;
  EXPECT_NE(out.find("running without web administration (port " + std::to_string(ntohs(a.sin_port)) +
                     ": bind: Address already in use)"),
            std::string::npos)
      << out;
}

// Connections in the middle of a request, kept alive by a byte a second, do
// not hold the process up: it stops in its usual five seconds and a little.
TEST(WebStartup, SlowConnectionsDoNotDelayTheShutdown) {
  TTempDir dir;
  const uint16_t webPort = FreeUDPPort();
  WriteTestSettings(dir.File("server.ini"), webPort, 0);
  TServerProcess server(dir.Path());
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
