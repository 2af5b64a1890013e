#include <gtest/gtest.h>
#include <sys/stat.h>

#include "app/Globals.h"
#include "app/Startup.h"
#include "common/IniFile.h"
#include "support/TempDir.h"

namespace {

class SettingsTest : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string ini = dir.File("server.ini");
  void SetUp() override { DefaultPostUrl = "http://serverlist.parleon.net/announce/add.php"; }
};

TEST_F(SettingsTest, FirstRunWritesEveryDefaultInOrder) {
  ReadAndWriteBackSettings(ini);
  EXPECT_EQ(ReadFileText(ini),
            "[Main Config]\r\n"
            "ExternalIPDectection=1\r\n"
            "ExternalIPLookupURL=\r\n"
            "HTTPServer Port=14534\r\n"
            "HTTPServer Enabled=1\r\n"
            "DateTimeFormat=dd-mm-yyyy hh:nn:ss\r\n"
            "TCPQueryPort=51234\r\n"
            "BoundToIp=\r\n"
            "MetricsToken=\r\n"
            "MaxAccountsPerServer=5000\r\n"
            "HTTPServer TLSCertificate=\r\n"
            "HTTPServer TLSKey=\r\n"
            "HTTPServer TrustedProxies=\r\n"
            "HTTPServer PublicURL=\r\n"
            "\r\n"
            "[WebPost]\r\n"
            "AdminEmail=na\r\n"
            "ISPLinkURL=na\r\n"
            "ISPName=Private\r\n"
            "ISPCountry=Earth\r\n"
            "Enabled=1\r\n"
            "PostUrl=\r\n");
  EXPECT_EQ(HTTPServerPort, 14534);
  EXPECT_TRUE(HTTPServerEnabled);
  EXPECT_EQ(TCPQueryPort, 51234);
  // No page is asked for the external address until the operator names one.
  EXPECT_FALSE(AddressLookupOptions().ExternalIPDetection);
  TIniFile(ini).WriteString("Main Config", "ExternalIPLookupURL", " http://203.0.113.1/ip ");
  ReadAndWriteBackSettings(ini);
  EXPECT_TRUE(AddressLookupOptions().ExternalIPDetection);
  EXPECT_EQ(AddressLookupOptions().URL, "http://203.0.113.1/ip");
}

TEST_F(SettingsTest, TextsAreTrimmedAndCutAndWrittenBackSo) {
  TIniFile f(ini);
  f.WriteString("WebPost", "ISPName", std::string(40, 'n'));
  f.WriteString("WebPost", "AdminEmail", "  ops@example.org  ");
  f.WriteString("WebPost", "ISPCountry", "  Somewhere far away beyond the hills and the sea ");
  f.WriteString("Main Config", "BoundToIp", " 127.0.0.1 ");
  ReadAndWriteBackSettings(ini);
  EXPECT_EQ(ISPName, std::string(29, 'n'));
  EXPECT_EQ(f.ReadString("WebPost", "ISPName", ""), std::string(29, 'n'));
  EXPECT_EQ(f.ReadString("WebPost", "AdminEmail", ""), "ops@example.org");
  EXPECT_EQ(ISPCountry, "Somewhere far away beyond the");
  EXPECT_EQ(BoundToIp, "127.0.0.1");
}

TEST_F(SettingsTest, PostUrlEqualToTheBuiltInListIsCleared) {
  TIniFile f(ini);
  f.WriteString("WebPost", "PostUrl", "  " + DefaultPostUrl + " ");
  ReadAndWriteBackSettings(ini);
  EXPECT_EQ(PostUrl, "");
  EXPECT_EQ(f.ReadString("WebPost", "PostUrl", "x"), "");

  f.WriteString("WebPost", "PostUrl", " http://other.example/post ");
  ReadAndWriteBackSettings(ini);
  EXPECT_EQ(PostUrl, " http://other.example/post ");  // not trimmed
}

TEST_F(SettingsTest, NumbersAndBooleansFollowTheProfileRules) {
  TIniFile f(ini);
  f.WriteString("Main Config", "HTTPServer Port", "0x10");
  f.WriteString("Main Config", "HTTPServer Enabled", "yes");
  f.WriteString("Main Config", "ExternalIPDectection", "2");
  f.WriteString("Main Config", "TCPQueryPort", "-5");
  f.WriteString("WebPost", "Enabled", "0");
  ReadAndWriteBackSettings(ini);
  EXPECT_EQ(HTTPServerPort, 16);
  EXPECT_TRUE(HTTPServerEnabled);  // not a number: the default
  EXPECT_TRUE(ExternalIPDetection);
  EXPECT_EQ(TCPQueryPort, -5);
  EXPECT_FALSE(WebPostEnabled);
  EXPECT_EQ(f.ReadString("Main Config", "HTTPServer Port", ""), "16");
  EXPECT_EQ(f.ReadString("Main Config", "ExternalIPDectection", ""), "1");
}

TEST_F(SettingsTest, OtherSectionsAndUnknownKeysSurviveTheRewrite) {
  WriteFileText(ini, "[Servers]\n0=server_cfg Default\n\n[main config]\nCustom=keep me\nhttpserver port=1234\n");
  ReadAndWriteBackSettings(ini);
  TIniFile f(ini);
  EXPECT_EQ(HTTPServerPort, 1234);
  EXPECT_EQ(f.ReadString("Servers", "0", ""), "server_cfg Default");
  EXPECT_EQ(f.ReadString("Main Config", "Custom", ""), "keep me");
  const std::string text = ReadFileText(ini);
  EXPECT_LT(text.find("[Servers]"), text.find("[main config]"));
  EXPECT_EQ(text.find("[Main Config]"), std::string::npos);  // the existing header is reused
}

// A settings file the process may read but not rewrite serves as read; one
// that cannot be read stops start-up.
TEST_F(SettingsTest, FileThatCannotBeRewrittenServesAsReadAndUnreadableOneRaises) {
  // A name at the file system's limit: the rewrite's new file cannot be
  // made, whoever runs the test.
  const std::string readOnly = dir.File(std::string(250, 'r'));
  WriteFileText(readOnly, "[Main Config]\nTCPQueryPort=4321\n");
  const std::string fault = ReadAndWriteBackSettings(readOnly);
  EXPECT_NE(fault.find("cannot write " + readOnly + ": File name too long"), std::string::npos) << fault;
  EXPECT_EQ(TCPQueryPort, 4321);
  EXPECT_EQ(HTTPServerPort, 14534);
  EXPECT_EQ(ReadFileText(readOnly), "[Main Config]\nTCPQueryPort=4321\n");

  EXPECT_EQ(ReadAndWriteBackSettings(ini), "");
  ASSERT_EQ(::mkdir(dir.File("folder.ini").c_str(), 0700), 0);
  EXPECT_THROW(ReadAndWriteBackSettings(dir.File("folder.ini")), EIniFile);
}

}  // namespace
