// The virtual servers the process starts from server.ini: of two listed
// servers that would keep their accounts in one place, only the first runs,
// and the operator learns why from the log and the status notice.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include "common/IniFile.h"
#include "support/NotifySocket.h"
#include "support/ServerProcess.h"
#include "support/TempDir.h"

namespace {

using std::chrono::seconds;

TEST(ServerStartup, OfTwoListedServersSharingAccountsOnlyTheFirstRuns) {
  TTempDir dir;
  const std::string eu = "server_cfg Weekend Tournament EU", us = "server_cfg Weekend Tournament US";
  TProcessPorts ports;
  WriteTestSettings(dir.File("server.ini"), 0, 0, 0);
  {
    TIniFile ini(dir.File("server.ini"));
    ini.WriteBool("Main Config", "HTTPServer Enabled", false);
    ini.WriteString("Servers", "0", eu);
    ini.WriteString("Servers", "1", us);
    ini.WriteInteger(eu, "ServerUDPPort", ports.Udp());
    ini.WriteInteger(us, "ServerUDPPort", ports.Udp());
  }
  TNotifySocket notify(dir.File("notify"));
  setenv("NOTIFY_SOCKET", dir.File("notify").c_str(), 1);
  TServerProcess server(dir.Path(), {}, &ports);
  unsetenv("NOTIFY_SOCKET");
  ASSERT_TRUE(server.WaitForLog("Server startup finished", seconds(30))) << ReadFileText(dir.File("stdout.txt"));
  const std::string reason =
      "it would share its accounts with " + eu + ": names must differ in their first 18 characters, letter case aside";
  const std::string notice = notify.Receive(seconds(10));
  EXPECT_EQ(notice.rfind("READY=1\nSTATUS=1 of 2 virtual servers running", 0), 0u) << notice;
  EXPECT_NE(notice.find("; failed: " + us + ": " + reason), std::string::npos) << notice;
  EXPECT_EQ(server.Stop(SIGTERM, seconds(60)), 0);
  EXPECT_NE(ReadFileText(dir.File("server.log")).find("SERVER,\tserver " + us + " not started: " + reason + "\r\n"),
            std::string::npos);
}

}  // namespace
