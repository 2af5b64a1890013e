// Runs the real executable: a first start in an empty folder, then SIGTERM.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <httplib.h>

#include <cstdlib>

#include <regex>

#include "common/IniFile.h"
#include "support/HeldPort.h"
#include "support/NotifySocket.h"
#include "support/ServerFixture.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"
#include "support/TestTls.h"

namespace {

using std::chrono::seconds;

TEST(ExecutableTest, FirstStartWritesSettingsAndLogThenStopsOnSigterm) {
  TTempDir dir;
  TProcessPorts ports;
  const uint16_t port = ports.Udp();
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
  // The log holds the first admin password: closed to other users whatever
  // the umask.
  const mode_t umaskBefore = ::umask(022);
  TServerProcess server(dir.Path(), {}, &ports);
  ::umask(umaskBefore);
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

  struct stat logStat{};
  ASSERT_EQ(stat(dir.File("server.log").c_str(), &logStat), 0);
  EXPECT_EQ(logStat.st_mode & 0777, 0600u);
  TIniFile ini(dir.File("server.ini"));
  EXPECT_EQ(ini.ReadString("Debug", "MessageTypes", ""), "LMTALL");
  EXPECT_EQ(ini.ReadString("Debug", "MessageDepths", ""), "LMDALL");
  EXPECT_EQ(ini.ReadString("Main Config", "DateTimeFormat", ""), "dd-mm-yyyy hh:nn:ss");
  EXPECT_EQ(ini.ReadSection("Main Config"),
            (std::vector<std::string>{"HTTPServer Port", "TCPQueryPort", "BoundToIp", "ExternalIPDectection",
                                      "ExternalIPLookupURL", "HTTPServer Enabled", "DateTimeFormat",
                                      "MetricsToken", "MaxAccountsPerServer", "HTTPServer TLSCertificate",
                                      "HTTPServer TLSKey", "HTTPServer TrustedProxies", "HTTPServer PublicURL"}));
  EXPECT_EQ(ini.ReadString("Servers", "0", ""), "server_cfg Default");
  EXPECT_EQ(ini.ReadSection("server_cfg Default").size(), 13u);
  EXPECT_EQ(ini.ReadSection("WebPost"),
            (std::vector<std::string>{"Enabled", "AdminEmail", "ISPLinkURL", "ISPName", "ISPCountry", "PostUrl"}));
  // No web interface runs (port 0): no address of one is printed.
  const std::string out = ReadFileText(dir.File("stdout.txt"));
  EXPECT_EQ(out.find("http://"), std::string::npos) << out;
  EXPECT_NE(out.find("running without web administration (disabled), log in " + dir.File("server.log")),
            std::string::npos)
      << out;
}

// A fault of the settings ends the process with 78 (EX_CONFIG), which the
// unit does not restart. An unknown option is named and start-up goes on.
TEST(ExecutableTest, UnreadableSettingsFileFailsWithTheConfigurationStatus) {
  TTempDir dir;
  // A folder where the settings file should be: it cannot be read.
  const std::string iniDir = dir.File("blocked.ini");
  ASSERT_EQ(mkdir(iniDir.c_str(), 0755), 0);
  TServerProcess server(dir.Path(), {"-INI=" + iniDir, "-REPAIRE"});
  EXPECT_EQ(server.WaitExit(seconds(30)), 78);
  const std::string log = ReadFileText(dir.File("server.log"));
  EXPECT_NE(log.find("Start_Parleon_Server: error in config file " + iniDir + ": cannot read " + iniDir + "\r\n"),
            std::string::npos)
      << log;
  EXPECT_NE(log.find("unknown option -REPAIRE ignored"), std::string::npos) << log;
  EXPECT_NE(log.find("critical error, shutdown initiated"), std::string::npos) << log;
  // The journal of a service shows the reason and where to read more.
  const std::string err = ReadFileText(dir.File("stdout.txt"));
  EXPECT_NE(err.find("parleon-server: error in config file " + iniDir + ": cannot read " + iniDir + "\n"),
            std::string::npos)
      << err;
  EXPECT_NE(err.find("parleon-server: start-up failed, see "), std::string::npos) << err;
  EXPECT_NE(err.find("parleon-server: unknown option -REPAIRE ignored (--help lists the options)\n"),
            std::string::npos)
      << err;
}

// With its only voice port and its query port taken, the server says why,
// is never reported ready, and ends with a non-zero status after the
// orderly shutdown. Standard error is the journal's stream here: every
// warning and error goes there with its priority, one line per event.
TEST(ExecutableTest, BusyPortsAreNamedWithTheirReasonAndNoRunningServerEndsTheProcess) {
  TTempDir dir;
  // Loopback sockets the test holds and does not pass: the ports are busy.
  const THeldPort busyUdp(SOCK_DGRAM), busyTcp(SOCK_STREAM);
  ASSERT_EQ(listen(busyTcp.Fd(), 1), 0);
  {
    TIniFile ini(dir.File("server.ini"));
    ini.WriteBool("Main Config", "HTTPServer Enabled", false);
    ini.WriteInteger("Main Config", "TCPQueryPort", busyTcp.Port());
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", busyUdp.Port());
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
  const std::string udpFault = "udp port " + std::to_string(busyUdp.Port()) + inUse;
  const std::string status = "0 of 1 virtual servers running, query failed (port " + std::to_string(busyTcp.Port()) +
                             inUse + "), no web; failed: server_cfg Default: " + udpFault;
  EXPECT_EQ(notify.Receive(seconds(1)), "STATUS=" + status);
  EXPECT_EQ(notify.Receive(seconds(1)), "STOPPING=1");
  const std::string log = ReadFileText(dir.File("server.log"));
  const std::string udpLine =
      "SERVER,\tcan not initialise udp communication with port " + std::to_string(busyUdp.Port()) + inUse + "\r\n";
  const std::string queryLine = "TCPQUERY,\tTTCPQuery.Create: unable to initialize communication bind: Address already in use\r\n";
  for (const std::string& line : {udpLine, queryLine, std::string("Server shutdown finished\r\n")})
    EXPECT_NE(log.find(line), std::string::npos) << line << log;
  // A start that ends without a running server never says it finished.
  EXPECT_EQ(log.find("Server startup finished"), std::string::npos) << log;
  const std::string err = "\n" + ReadFileText(dir.File("stdout.txt"));
  for (const std::string& line : std::vector<std::string>{
           "\n<3>SERVER: can not initialise udp communication with port " + std::to_string(busyUdp.Port()) + inUse + "\n",
        "\n<3>TCPQUERY: TTCPQuery.Create: unable to initialize communication bind: Address already in use\n",
        "\n<3>" + status + "\n", "\n<6>Server shutdown finished\n"})
    EXPECT_NE(err.find(line), std::string::npos) << line << err;
  EXPECT_EQ(err.find("parleon-server: "), std::string::npos) << err;
}

// The web port on TLS: the start-up line says https, SIGHUP brings a renewed
// certificate in while players stay, and a missing key fails the port by name.
TEST(ExecutableTest, HttpsTakesARenewedCertificateOnSighupWithPlayersConnected) {
  TTempDir dir;
  const TTestCertificate pair = MakeTestCertificate(dir.Path(), "web");
  const TTestCertificate renewed = MakeTestCertificate(dir.Path(), "renewed");
  TProcessPorts ports;
  const uint16_t webPort = ports.Tcp();
  WriteTestSettings(dir.File("server.ini"), webPort, 0, ports.Udp());
  TIniFile ini(dir.File("server.ini"));
  ini.WriteString("Main Config", "HTTPServer TLSCertificate", pair.Certificate);
  ini.WriteString("Main Config", "HTTPServer TLSKey", pair.Key);
  const auto udpPort = static_cast<uint16_t>(ini.ReadInteger("server_cfg Default", "ServerUDPPort", 0));
  {
    setenv("PARLEON_ADMINPW", "tls-secret", 1);
    TServerProcess server(dir.Path(), {}, &ports);
    unsetenv("PARLEON_ADMINPW");
    ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
    EXPECT_EQ(ServedFingerprint(webPort), FileFingerprint(pair.Certificate));
    httplib::Client https("https://127.0.0.1:" + std::to_string(webPort));
    https.enable_server_certificate_verification(false);
    const auto login = https.Post("/LOGIN.PLCMD", httplib::Params{{"username", "admin"}, {"password", "tls-secret"},
                                                                  {"serverport", std::to_string(udpPort)}});
    ASSERT_TRUE(login);
    EXPECT_EQ(login->get_header_value("Location"), "index.html");
    const std::string cookie = login->get_header_value("Set-Cookie");
    EXPECT_NE(cookie.find("; Secure"), std::string::npos) << cookie;
    EXPECT_EQ(login->get_header_value("Strict-Transport-Security"), "max-age=31536000");
    const auto player = TServerFixture::ConnectTo(udpPort, "stays");
    ASSERT_TRUE(player);
    // As a renewal hook would: new files in place, then the signal.
    ASSERT_EQ(rename(renewed.Certificate.c_str(), pair.Certificate.c_str()), 0);
    ASSERT_EQ(rename(renewed.Key.c_str(), pair.Key.c_str()), 0);
    ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
    ASSERT_TRUE(server.WaitForLog("TLS certificate reloaded", seconds(30)));
    EXPECT_EQ(ServedFingerprint(webPort), FileFingerprint(pair.Certificate));
    const auto second = TServerFixture::ConnectTo(udpPort, "joins");
    ASSERT_TRUE(second);
    EXPECT_EQ(second->Players.size(), 2u);
    // The web session outlives the new pair as well.
    const auto page = https.Get("/index.html", {{"Cookie", cookie.substr(0, cookie.find(';'))}});
    ASSERT_TRUE(page);
    EXPECT_EQ(page->body.find("LOGIN.PLCMD"), std::string::npos) << "logged out by the reload";
    EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  }
  EXPECT_NE(ReadFileText(dir.File("stdout.txt")).find("https://localhost:" + std::to_string(webPort)),
            std::string::npos);

  // Every passed socket was taken.
  EXPECT_EQ(ReadFileText(dir.File("server.log")).find("passed socket"), std::string::npos);

  // The next start gets the same sockets: the voice port's serves again,
  // the web port's goes unused and is named in a line.
  ASSERT_EQ(unlink(pair.Key.c_str()), 0);
  const size_t logged = ReadFileText(dir.File("server.log")).size();
  TServerProcess failing(dir.Path(), {}, &ports);
  ASSERT_TRUE(failing.WaitForLog("Server startup finished", seconds(30), "", logged));
  EXPECT_TRUE(TServerFixture::ConnectTo(udpPort, "next start"));
  EXPECT_EQ(failing.Stop(SIGTERM, seconds(60)), 0);
  EXPECT_NE(ReadFileText(dir.File("server.log"))
                .find("SERVER,\tpassed socket of port " + std::to_string(webPort) +
                          " not taken by any listener; kept for a server started on it later\r\n",
                      logged),
            std::string::npos);
  EXPECT_NE(ReadFileText(dir.File("stdout.txt")).find("web failed (port " + std::to_string(webPort) + ": " +
                                                      pair.Key + ": No such file or directory)"),
            std::string::npos)
      << ReadFileText(dir.File("stdout.txt"));
}

// Neither asking for help nor for the version starts a server or makes a file.
TEST(ExecutableTest, HelpAndVersion) {
  TTempDir dir;
  TServerProcess version(dir.Path(), {"--version"});
  EXPECT_EQ(version.WaitExit(seconds(30)), 0);
  EXPECT_NE(ReadFileText(dir.File("stdout.txt")).find("2.0.18.25"), std::string::npos);
  for (const char* help : {"--help", "-h", "-help", "-?"}) {
    TServerProcess usage(dir.Path(), {help});
    EXPECT_EQ(usage.WaitExit(seconds(30)), 0) << help;
    EXPECT_NE(ReadFileText(dir.File("stdout.txt")).find("Usage: parleon-server"), std::string::npos) << help;
  }
  for (const char* name : {"server.log", "server.ini", "server.db", "parleon-server.lock"})
    EXPECT_FALSE(FileExists(dir.File(name))) << name;
}

}  // namespace
