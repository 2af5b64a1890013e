#include <gtest/gtest.h>

#include "app/Globals.h"
#include "app/Startup.h"

namespace {

class CommandLineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    IniFileName.clear();
    DbFileName.clear();
    LogFileName.clear();
    PidFileName.clear();
    AdminPassword.clear();
    HttpDocsDir.clear();
    RepairDatabase = false;
  }
};

TEST_F(CommandLineTest, OptionsInAnyCaseAndOrderKeepTheValueCase) {
  ParseCommandLine({"-db=Data/My.DB", "-INI=conf/Server.ini", "-Log=x.log", "-pid=p", "-HTTPDOCS= docs "});
  EXPECT_EQ(DbFileName, "Data/My.DB");
  EXPECT_EQ(IniFileName, "conf/Server.ini");
  EXPECT_EQ(LogFileName, "x.log");
  EXPECT_EQ(PidFileName, "p");
  EXPECT_EQ(HttpDocsDir, "docs");  // trimmed
}

TEST_F(CommandLineTest, LaterTestsApplyToTheShortenedArgument) {
  ParseCommandLine({"-DB=-LOG=x.log"});
  EXPECT_EQ(DbFileName, "-LOG=x.log");
  EXPECT_EQ(LogFileName, "x.log");
}

TEST_F(CommandLineTest, OptionFoundAnywhereCutsItsLengthFromTheStart) {
  ParseCommandLine({"x-INI=a.ini"});
  EXPECT_EQ(IniFileName, "=a.ini");
}

// What matched no option comes back for a warning, as typed.
TEST_F(CommandLineTest, AdminPasswordIsTrimmedAndLaterArgumentsWin) {
  EXPECT_EQ(ParseCommandLine({"-ADMINPW=  first ", "unknown", "-ADMINPW= secret ", "-REPAIRE", "-repair"}),
            (std::vector<std::string>{"unknown", "-REPAIRE"}));
  EXPECT_EQ(AdminPassword, "secret");
  EXPECT_TRUE(DbFileName.empty());
  for (const char* help : {"--help", "-h", "-H", "-help", "-Help", "-?"}) EXPECT_TRUE(IsHelpOption(help)) << help;
  for (const char* other : {"-hx", "help", "--helpme", "-"}) EXPECT_FALSE(IsHelpOption(other)) << other;
}

TEST_F(CommandLineTest, NonPathValuesAreNotTrimmed) {
  ParseCommandLine({"-LOG= spaced.log "});
  EXPECT_EQ(LogFileName, " spaced.log ");
}

// -REPAIR is a switch of its own: inside a path it is no option.
TEST_F(CommandLineTest, RepairIsTheWholeArgumentInAnyCase) {
  ParseCommandLine({"-DB=/srv/-REPAIR/server.db"});
  EXPECT_FALSE(RepairDatabase);
  EXPECT_EQ(DbFileName, "/srv/-REPAIR/server.db");
  ParseCommandLine({"-Repair"});
  EXPECT_TRUE(RepairDatabase);
}

}  // namespace
