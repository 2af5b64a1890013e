#include <gtest/gtest.h>

#include "common/IniFile.h"
#include "server/ServerSettings.h"
#include "support/TempDir.h"

namespace {

const char* kSection = "server_cfg Test";

TEST(ServerSettingsTest, NewSectionIsWrittenCompleteInTableOrder) {
  TTempDir dir;
  TIniFile ini(dir.File("server.ini"));
  TServerSettings s;
  s.ServerUDPPort = 9000;
  s.Read(ini, kSection);
  s.Write(ini, kSection);
  EXPECT_EQ(ini.ReadSection(kSection),
            (std::vector<std::string>{"ServerName", "ServerType", "ServerWelcomeMessage", "ServerMaxUsers",
                                      "ServerUDPPort", "ServerPassword", "ServerFlags", "AllowCodecCelp51",
                                      "AllowCodecCelp63", "AllowCodecGSM148", "AllowCodecGSM164",
                                      "AllowCodecWindowsCELP52", "WebPost_LinkURL"}));
  EXPECT_EQ(ini.ReadInteger(kSection, "ServerUDPPort", 0), 9000);
  EXPECT_EQ(ini.ReadString(kSection, "ServerName", ""), "Parleon Server");
  EXPECT_EQ(ini.ReadString(kSection, "ServerMaxUsers", ""), "12");
  EXPECT_EQ(ini.ReadString(kSection, "ServerFlags", ""), "2");
  EXPECT_EQ(ini.ReadString(kSection, "AllowCodecGSM164", ""), "1");
  // No address of anybody's: the operator writes their own.
  EXPECT_EQ(ini.ReadString(kSection, "ServerWelcomeMessage", ""), "[Welcome to Parleon Server]");
}

TEST(ServerSettingsTest, FileWinsOverTheGivenPortAndTextsAreCutNotTrimmed) {
  TTempDir dir;
  TIniFile ini(dir.File("server.ini"));
  ini.WriteInteger(kSection, "ServerUDPPort", 8800);
  ini.WriteString(kSection, "ServerName", " " + std::string(40, 'x'));
  ini.WriteString(kSection, "ServerMaxUsers", "70000");
  TServerSettings s;
  s.ServerUDPPort = 9000;
  s.Read(ini, kSection);
  EXPECT_EQ(s.ServerUDPPort, 8800);
  EXPECT_EQ(s.ServerName, " " + std::string(28, 'x'));
  EXPECT_EQ(s.ServerMaxUsers, 12);  // out of range: the default stays
}

TEST(ServerSettingsTest, ServerTypeKeepsLow16BitsAndTheManagedBits) {
  TTempDir dir;
  TIniFile ini(dir.File("server.ini"));
  const struct {
    int32_t stored;
    uint16_t read, adjusted;
  } cases[] = {{2, 2, 6}, {9, 9, 5}, {70000, 4464, 4468}, {1, 1, 5}};
  for (const auto& c : cases) {
    ini.WriteInteger(kSection, "ServerType", c.stored);
    TServerSettings s;
    s.Read(ini, kSection);
    EXPECT_EQ(s.ServerType, c.read);
    s.AdjustServerType();
    EXPECT_EQ(s.ServerType, c.adjusted);
  }
}

TEST(ServerSettingsTest, DefaultCodecIsTheLastAllowedInItsOrder) {
  TServerSettings s;
  s.AllowCodecCelp63 = s.AllowCodecGSM164 = s.AllowCodecWindowsCELP52 = false;
  EXPECT_EQ(s.DefaultCodec(), 2u);  // CELP 5.1 and GSM 14.8
  s.AllowCodecGSM148 = false;
  s.AllowCodecWindowsCELP52 = true;
  EXPECT_EQ(s.DefaultCodec(), 4u);  // Windows CELP 5.2 over CELP 5.1
  EXPECT_EQ(s.CodecMask(), 0x11u);
  s.AllowCodecCelp51 = s.AllowCodecWindowsCELP52 = false;
  EXPECT_EQ(s.DefaultCodec(), 0u);
  EXPECT_FALSE(s.CodecAllowed(7));
}

}  // namespace
