#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "common/IniFile.h"
#include "support/TempDir.h"

namespace {

TEST(IniFileTest, MissingFileReadsEmptyAndFirstWriteCreatesIt) {
  TTempDir dir;
  TIniFile f(dir.File("new.ini"));
  EXPECT_EQ(f.ReadString("A", "k", "def"), "def");
  EXPECT_EQ(f.ReadInteger("A", "k", 7), 7);
  EXPECT_FALSE(FileExists(dir.File("new.ini")));
  f.WriteInteger("A", "k", 3);
  EXPECT_EQ(ReadFileText(dir.File("new.ini")), "[A]\r\nk=3\r\n");
}

TEST(IniFileTest, NamesMatchWithoutCaseAndRewritesKeepOrder) {
  TTempDir dir;
  const std::string path = dir.File("s.ini");
  WriteFileText(path, "; note\n[One]\na=1\nB=2\n\n[Two]\nc=3\n");
  TIniFile f(path);
  EXPECT_EQ(f.ReadString("one", "b", ""), "2");
  f.WriteString("ONE", "A", "10");
  f.WriteString("one", "new", "x");
  f.WriteString("Three", "d", "4");
  EXPECT_EQ(ReadFileText(path), "; note\r\n[One]\r\na=10\r\nB=2\r\nnew=x\r\n\r\n[Two]\r\nc=3\r\n\r\n[Three]\r\nd=4\r\n");
  EXPECT_EQ(f.ReadSection("one"), (std::vector<std::string>{"a", "B", "new"}));
  using TValues = std::vector<std::pair<std::string, std::string>>;
  EXPECT_EQ(f.ReadSectionValues("one"), (TValues{{"a", "10"}, {"B", "2"}, {"new", "x"}}));
  EXPECT_EQ(f.ReadSectionValues("none"), TValues{});
  f.DeleteKey("one", "b");
  f.EraseSection("two");
  EXPECT_FALSE(f.SectionExists("Two"));
  EXPECT_EQ(f.ReadSection("One"), (std::vector<std::string>{"a", "new"}));
}

// A write that cannot make its new file fails and leaves the old file as it
// was; so does a write to a file that cannot be read (taken as empty, it
// would have kept only the key being written).
TEST(IniFileTest, FailedWritesLeaveTheFileAsItWas) {
  TTempDir dir;
  const std::string path = dir.File("s.ini");
  WriteFileText(path, "[A]\r\npassword=secret\r\n");
  TIniFile f(path);
  // A name at the file system's limit: the new file's longer name cannot be
  // made, whoever runs the test.
  const std::string longPath = dir.File(std::string(250, 'n'));
  WriteFileText(longPath, "[A]\r\npassword=secret\r\n");
  TIniFile full(longPath);
  EXPECT_THROW(full.WriteString("A", "k", "v"), EIniFile);
  EXPECT_EQ(ReadFileText(longPath), "[A]\r\npassword=secret\r\n");
  // A value that is there already needs no new file, so it is no failure.
  EXPECT_NO_THROW(full.WriteString("a", "PASSWORD", "secret"));

  const std::string unreadable = dir.File("dir.ini");
  ASSERT_EQ(::mkdir(unreadable.c_str(), 0700), 0);
  TIniFile g(unreadable);
  EXPECT_EQ(g.ReadString("A", "k", "def"), "def");
  EXPECT_THROW(g.WriteString("A", "k", "v"), EIniFile);
  EXPECT_FALSE(FileExists(unreadable + ".tmp"));
}

// The rewrite replaces the file; an operator's narrow mode survives it. A
// new file is closed to others whatever the umask, and a link planted where
// an older build put its new file is neither followed nor given the mode
// and owner of the settings.
TEST(IniFileTest, RewriteKeepsTheFilesModeAndFollowsNoPlantedLink) {
  TTempDir dir;
  const mode_t umaskBefore = ::umask(022);
  TIniFile(dir.File("fresh.ini")).WriteString("A", "k", "v");
  ::umask(umaskBefore);
  struct stat fresh{};
  ASSERT_EQ(::stat(dir.File("fresh.ini").c_str(), &fresh), 0);
  EXPECT_EQ(fresh.st_mode & 07777, 0600u);

  const std::string path = dir.File("s.ini");
  WriteFileText(path, "[A]\r\npassword=secret\r\n");
  const std::string victim = dir.File("victim");
  WriteFileText(victim, "keep");
  ASSERT_EQ(::chmod(victim.c_str(), 0644), 0);
  for (const char* planted : {".tmp", ".new"})
    ASSERT_EQ(::symlink(victim.c_str(), (path + planted).c_str()), 0);
  for (const mode_t mode : {0600, 0640}) {
    ASSERT_EQ(::chmod(path.c_str(), mode), 0);
    TIniFile(path).WriteString("A", "k", std::to_string(mode));
    struct stat st{};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, mode);
    EXPECT_EQ(st.st_uid, ::getuid());
  }
  EXPECT_EQ(ReadFileText(victim), "keep");
  struct stat victimStat{};
  ASSERT_EQ(::stat(victim.c_str(), &victimStat), 0);
  EXPECT_EQ(victimStat.st_mode & 07777, 0644u);
}

TEST(IniFileTest, IntegerAndBooleanParsing) {
  TTempDir dir;
  TIniFile f(dir.File("n.ini"));
  const struct {
    const char* text;
    int32_t expected;
  } cases[] = {{"42", 42},   {"0x10", 16}, {"0X1f", 31}, {"-3", -3}, {"yes", -99},
               {"", -99},    {"12ab", -99}, {"0x", -99}, {" 8 ", 8}, {"0xFFFFFFFF", -1},
               {"99999999999", -99}};
  for (const auto& c : cases) {
    f.WriteString("N", "v", c.text);
    EXPECT_EQ(f.ReadInteger("N", "v", -99), c.expected) << c.text;
  }
  f.WriteString("N", "b", "2");
  EXPECT_TRUE(f.ReadBool("N", "b", false));
  f.WriteString("N", "b", "yes");
  EXPECT_FALSE(f.ReadBool("N", "b", false));
  EXPECT_TRUE(f.ReadBool("N", "b", true));
  f.WriteBool("N", "b", true);
  EXPECT_EQ(f.ReadString("N", "b", ""), "1");
}

TEST(IniFileTest, ValuesAreReadAsAtMost2047Characters) {
  TTempDir dir;
  TIniFile f(dir.File("l.ini"));
  f.WriteString("L", "v", std::string(3000, 'z'));
  EXPECT_EQ(f.ReadString("L", "v", "").size(), 2047u);
  EXPECT_EQ(f.ReadSectionValues("L").at(0).second.size(), 2047u);
  f.WriteString("L", "nl", "a\r\nb");  // a line end cannot split the file's lines
  EXPECT_EQ(f.ReadString("L", "nl", ""), "a  b");
}

TEST(IniFileTest, ConcurrentWritersLoseNoUpdate) {
  TTempDir dir;
  const std::string path = dir.File("c.ini");
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&, t] {
      TIniFile f(path);
      for (int i = 0; i < 25; ++i) f.WriteInteger("S" + std::to_string(t), "k" + std::to_string(i), i);
    });
  for (auto& th : threads) th.join();
  TIniFile f(path);
  for (int t = 0; t < 4; ++t)
    for (int i = 0; i < 25; ++i)
      EXPECT_EQ(f.ReadInteger("S" + std::to_string(t), "k" + std::to_string(i), -1), i);
}

}  // namespace
