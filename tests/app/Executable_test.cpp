// Runs the real executable: a first start in an empty folder, then SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include <regex>

#include "common/IniFile.h"
#include "support/FreePort.h"
#include "support/NotifySocket.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

namespace {

using std::chrono::seconds;

TEST(ExecutableTest, FirstStartWritesSettingsAndLogThenStopsOnSigterm) {
  TTempDir dir;
  const uint16_t port = FreeUDPPort();
  {
    // Ports that nothing else on the machine uses, so the test never collides.
    TIniFile ini(dir.File("server.ini"));
    ini.WriteInteger("Main Config", "HTTPServer Port", 0);
    ini.WriteInteger("Main Config", "TCPQueryPort", 0);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", port);
  }
  TServerProcess server(dir.Path());
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);

  const std::string log = ReadFileText(dir.File("server.log"));
  const std::regex order(
      "-{63}\r\n-{14} log started at [0-9-]{8} [0-9:]{5} -{13}\r\n-{63}\r\n"
      ".*,ALL,Info,server,\tServer startup initialized\r\n"
      ".*,ALL,Info,server,\tServer version: 2\\.0\\.18\\.25 Linux\r\nOK\r\n"
      "(.*\r\n)*"
      ".*,ALL,Info,server,\tServer startup finished\r\n"
      "(.*\r\n)*"
      ".*,ALL,Info,server,\tServer shutdown initialized\r\n"
      "(.*\r\n)*"
      ".*,ALL,Info,server,\tServer shutdown finished\r\n"
      "-{63}\r\n-{15} log ended at [0-9-]{8} [0-9:]{5} -{14}\r\n-{63}\r\n");
  EXPECT_TRUE(std::regex_match(log, order)) << log;
  EXPECT_NE(log.find(",ALL,Info,server,\tStarting server with port: " + std::to_string(port) + "\r\n"), std::string::npos)
      << log;

  TIniFile ini(dir.File("server.ini"));
  EXPECT_EQ(ini.ReadString("Debug", "MessageTypes", ""), "LMTALL");
  EXPECT_EQ(ini.ReadString("Debug", "MessageDepths", ""), "LMDALL");
  EXPECT_EQ(ini.ReadString("Main Config", "DateTimeFormat", ""), "dd-mm-yyyy hh:nn:ss");
  EXPECT_EQ(ini.ReadSection("Main Config"),
            (std::vector<std::string>{"HTTPServer Port", "TCPQueryPort", "BoundToIp", "ExternalIPDectection",
                                      "HTTPServer Enabled", "DateTimeFormat", "MetricsToken",
                                      "MaxAccountsPerServer"}));
  EXPECT_EQ(ini.ReadString("Servers", "0", ""), "server_cfg Default");
  EXPECT_EQ(ini.ReadSection("server_cfg Default").size(), 13u);
  EXPECT_EQ(ini.ReadSection("WebPost"),
            (std::vector<std::string>{"Enabled", "AdminEmail", "ISPLinkURL", "ISPName", "ISPCountry", "PostUrl"}));
  const std::string out = ReadFileText(dir.File("stdout.txt"));
  EXPECT_NE(out.find("http://localhost:0"), std::string::npos) << out;
  EXPECT_NE(out.find(dir.File("server.log")), std::string::npos) << out;
}

TEST(ExecutableTest, UnwritableSettingsFileFailsWithNonZeroStatus) {
  TTempDir dir;
  // A folder where the settings file should be: the write-back cannot succeed.
  const std::string iniDir = dir.File("blocked.ini");
  ASSERT_EQ(mkdir(iniDir.c_str(), 0755), 0);
  TServerProcess server(dir.Path(), {"-INI=" + iniDir});
  EXPECT_EQ(server.WaitExit(seconds(30)), 1);
  const std::string log = ReadFileText(dir.File("server.log"));
  EXPECT_NE(log.find("Start_Parleon_Server: error in config file"), std::string::npos) << log;
  EXPECT_NE(log.find("critical error, shutdown initiated"), std::string::npos) << log;
  // The journal of a service shows the reason and where to read more.
  const std::string err = ReadFileText(dir.File("stdout.txt"));
  EXPECT_NE(err.find("parleon-server: error in config file " + iniDir + ": cannot read " + iniDir + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("parleon-server: start-up failed, see "), std::string::npos) << err;
}

// Loopback sockets the test holds, so that the server finds the ports busy.
struct TBusyPorts {
  int udp = socket(AF_INET, SOCK_DGRAM, 0);
  int tcp = socket(AF_INET, SOCK_STREAM, 0);
  uint16_t udpPort = Bind(udp);
  uint16_t tcpPort = Bind(tcp);
  ~TBusyPorts() {
    close(udp);
    close(tcp);
  }
  static uint16_t Bind(int fd) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
      ADD_FAILURE() << "bind";
    return ntohs(a.sin_port);
  }
};

// With its only voice port and its query port taken, the server says why,
// is never reported ready, and ends with a non-zero status after the
// orderly shutdown. Standard error is the journal's stream here: every
// warning and error goes there with its priority, one line per event.
TEST(ExecutableTest, BusyPortsAreNamedWithTheirReasonAndNoRunningServerEndsTheProcess) {
  TTempDir dir;
  TBusyPorts busy;
  ASSERT_EQ(listen(busy.tcp, 1), 0);
  {
    TIniFile ini(dir.File("server.ini"));
    ini.WriteBool("Main Config", "HTTPServer Enabled", false);
    ini.WriteInteger("Main Config", "TCPQueryPort", busy.tcpPort);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", busy.udpPort);
  }
  // The server's standard error goes to this file (same inode once it opens it).
  WriteFileText(dir.File("stdout.txt"), "");
  struct stat st{};
  ASSERT_EQ(stat(dir.File("stdout.txt").c_str(), &st), 0);
  const std::string stream = std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
  TNotifySocket notify(dir.File("notify"));
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  setenv("JOURNAL_STREAM", stream.c_str(), 1);
  TServerProcess server(dir.Path());
  unsetenv("NOTIFY_SOCKET");
  unsetenv("JOURNAL_STREAM");
  EXPECT_EQ(server.WaitExit(seconds(60)), 1);

  const std::string inUse = ": bind: Address already in use";
  const std::string udpFault = "udp port " + std::to_string(busy.udpPort) + inUse;
  const std::string status = "0 of 1 virtual servers running, query failed (port " + std::to_string(busy.tcpPort) +
                             inUse + "), no web; failed: server_cfg Default: " + udpFault;
  EXPECT_EQ(notify.Receive(seconds(1)), "STATUS=" + status);
  EXPECT_EQ(notify.Receive(seconds(1)), "STOPPING=1");
  const std::string log = ReadFileText(dir.File("server.log"));
  const std::string udpLine =
      "SERVER,\tcan not initialise udp communication with port " + std::to_string(busy.udpPort) + inUse + "\r\n";
  const std::string queryLine = "TCPQUERY,\tTTCPQuery.Create: unable to initialize communication bind: Address already in use\r\n";
  for (const std::string& line : {udpLine, queryLine, std::string("Server shutdown finished\r\n")})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  const std::string err = "\n" + ReadFileText(dir.File("stdout.txt"));
  for (const std::string& line : std::vector<std::string>{
           "\n<3>SERVER: can not initialise udp communication with port " + std::to_string(busy.udpPort) + inUse + "\n",
        "\n<3>TCPQUERY: TTCPQuery.Create: unable to initialize communication bind: Address already in use\n",
        "\n<3>" + status + "\n", "\n<6>Server shutdown finished\n"})
    EXPECT_NE(err.find(line), std::string::npos) << line << err;
  EXPECT_EQ(err.find("parleon-server: "), std::string::npos) << err;
}

TEST(ExecutableTest, HelpAndVersion) {
  TTempDir dir;
  TServerProcess version(dir.Path(), {"--version"});
  EXPECT_EQ(version.WaitExit(seconds(30)), 0);
  EXPECT_NE(ReadFileText(dir.File("stdout.txt")).find("2.0.18.25"), std::string::npos);
  EXPECT_FALSE(FileExists(dir.File("server.log")));
}

}  // namespace
