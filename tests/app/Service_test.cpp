// The executable as a systemd service sees it: the readiness and stopping
// notices, SIGHUP after log rotation, and the start and stop lines on
// standard error. One run, since each ends with the 5-second shutdown pause.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "common/IniFile.h"
#include "database/Accounts.h"
#include "support/NotifySocket.h"
#include "support/ServerProcess.h"
#include "support/StoredDatabase.h"
#include "support/TempDir.h"

namespace {

using std::chrono::seconds;

TEST(ServiceTest, NotifiesReadyAndStoppingReopensTheLogOnSighupAndTellsStderr) {
  TTempDir dir;
  TProcessPorts ports;
  {
    TIniFile ini(dir.File("server.ini"));
    ini.WriteBool("Main Config", "HTTPServer Enabled", false);
    ini.WriteInteger("Main Config", "TCPQueryPort", 0);
    ini.WriteString("Main Config", "BoundToIp", "127.0.0.1");
    ini.WriteBool("Main Config", "ExternalIPDectection", false);
    ini.WriteBool("WebPost", "Enabled", false);
    ini.WriteInteger("server_cfg Default", "ServerUDPPort", ports.Udp());
  }
  TNotifySocket notify(dir.File("notify"));
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  // The password from the environment, kept off the command line.
  setenv("PARLEON_ADMINPW", "from-environment", 1);
  TServerProcess server(dir.Path(), {"-PID=" + dir.File("server.pid")}, &ports);
  unsetenv("NOTIFY_SOCKET");
  unsetenv("PARLEON_ADMINPW");
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
  const std::string status = "1 of 1 virtual servers running, no query, no web";
  EXPECT_EQ(notify.Receive(seconds(10)), "READY=1\nSTATUS=" + status);
  EXPECT_EQ(ReadFileText(dir.File("server.pid")), std::to_string(server.Pid()) + "\n");

  // A second process on the same folder stops at once, names the first and
  // changes nothing: the settings, the database and the PID file stay.
  struct stat dbBefore{};
  ASSERT_EQ(stat(dir.File("server.db").c_str(), &dbBefore), 0);
  const std::string iniBefore = ReadFileText(dir.File("server.ini"));
  {
    TTempDir other;
    TServerProcess second(other.Path(), {"-PID=" + dir.File("server.pid"), "-DB=" + dir.File("server.db"),
                                         "-INI=" + dir.File("server.ini"), "-LOG=" + dir.File("server.log")});
    EXPECT_EQ(second.WaitExit(seconds(30)), 1);
    const std::string said = ReadFileText(other.File("stdout.txt"));
    EXPECT_NE(said.find("in use by process " + std::to_string(server.Pid())), std::string::npos) << said;
  }
  struct stat dbAfter{};
  ASSERT_EQ(stat(dir.File("server.db").c_str(), &dbAfter), 0);
  EXPECT_EQ(dbAfter.st_ino, dbBefore.st_ino);
  EXPECT_EQ(ReadFileText(dir.File("server.ini")), iniBefore);
  EXPECT_EQ(ReadFileText(dir.File("server.pid")), std::to_string(server.Pid()) + "\n");

  // What logrotate does: move the file, then SIGHUP.
  ASSERT_EQ(std::rename(dir.File("server.log").c_str(), dir.File("server.log.1").c_str()), 0);
  ASSERT_EQ(kill(server.Pid(), SIGHUP), 0);
  EXPECT_TRUE(server.WaitForLog(",ALL,Info,server,\tLog file reopened\r\n", seconds(10)));
  EXPECT_EQ(ReadFileText(dir.File("server.log.1")).find("Log file reopened"), std::string::npos);

  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  EXPECT_EQ(notify.Receive(seconds(1)), "STOPPING=1");
  EXPECT_FALSE(FileExists(dir.File("server.pid")));
  TStoredDatabase stored(dir.File("server.db"));
  EXPECT_TRUE(PasswordMatches(*GetUser(stored.db, "admin", "server_cfg Default", false), "from-environment"));
  EXPECT_NE(ReadFileText(dir.File("server.log")).find("Server shutdown finished"), std::string::npos);
  const std::string out = ReadFileText(dir.File("stdout.txt"));
  for (const std::string& line : std::vector<std::string>{"parleon-server: Server startup finished, version 2.0.18.25 Linux\n",
                           "parleon-server: " + status + "\n",
                           "parleon-server: Server shutdown initialized (signal 15)\n",
                           "parleon-server: Server shutdown finished\n"})
    EXPECT_NE(out.find(line), std::string::npos) << line << out;
}

}  // namespace
