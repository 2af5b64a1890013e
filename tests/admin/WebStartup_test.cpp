// The web interface in the process's start-up: a port that cannot be bound
// is logged and start-up goes on without the interface.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

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
  {
    TIniFile ini(dir.File("server.ini"));
    ini.WriteInteger("Main Config", "HTTPServer Port", ntohs(a.sin_port));
    ini.WriteInteger("Main Config", "TCPQueryPort", 0);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);  // no lookup of the built-in list
    ini.WriteBool("WebPost", "Enabled", false);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", FreeUDPPort());
  }
  TServerProcess server(dir.Path());
  EXPECT_TRUE(server.WaitForLog("Server startup finished", seconds(30)));
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  close(busy);
  EXPECT_NE(ReadFileText(dir.File("server.log"))
                .find(",WARNING,Important,SERVER,\tStart_Parleon_Server: cant initialise WebInterface: port " +
                      std::to_string(ntohs(a.sin_port)) + ": bind: Address already in use\r\n"),
            std::string::npos);
}
