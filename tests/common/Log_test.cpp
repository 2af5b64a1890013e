#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <regex>
#include <sstream>
#include <thread>

#include "common/AuditLog.h"
#include "common/CaughtLog.h"
#include "common/FIFOList.h"
#include "common/IniFile.h"
#include "common/LogRateLimiter.h"
#include "common/Log.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos < text.size()) {
    const size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) {
      out.push_back(text.substr(pos));
      break;
    }
    out.push_back(text.substr(pos, end - pos));
    pos = end + 2;
  }
  return out;
}

class LogTest : public ::testing::Test {
 protected:
  TTempDir dir;
  std::string ini = dir.File("server.ini");
  std::string logName = dir.File("server.log");
  TManualClock clock{EncodeDateTime(2026, 12, 7, 21, 51, 23, 0)};

  std::unique_ptr<TLogFile> MakeLog(const std::string& types, const std::string& depths) {
    TIniFile f(ini);
    f.WriteString("Debug", "MessageTypes", types);
    if (!depths.empty()) f.WriteString("Debug", "MessageDepths", depths);
    auto log = std::make_unique<TLogFile>(&clock);
    log->FileName = logName;
    log->LoadSettings(ini, "debug");
    return log;
  }
};

TEST_F(LogTest, LineFormatAndSourceCut) {
  auto log = MakeLog("LMTALL", "LMDALL");
  log->LogFmt(LMTERROR, LMDALL, "StoreReceivedPacket", "playerid %1 not found", {5});
  log->Log(LMTALL, LMDINFO, std::string(120, 's'), "m");
  log->LogFmt(LMTDEBUG, LMDUSEFULL, "x", "two\r\nlines", {});
  const auto lines = Lines(ReadFileText(logName));
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0], "07-12-26 21:51:23,ERROR,All,StoreReceivedPacket,\tplayerid 5 not found");
  EXPECT_EQ(lines[1], "07-12-26 21:51:23,ALL,Info," + std::string(99, 's') + ",\tm");
  EXPECT_EQ(lines[2], "07-12-26 21:51:23,DEBUG,Usefull,x,\ttwo");
  EXPECT_EQ(lines[3], "lines");
}

// A login name or a requested path with line breaks must not start a line
// of its own that looks like the server's; under the journal the warnings
// and errors go to standard error too, one event per line.
TEST_F(LogTest, OutsideTextCannotForgeALineAndTheJournalGetsWarningsAndErrors) {
  auto log = MakeLog("LMTALL", "LMDALL");
  log->JournalMirror = true;
  const std::string forged = "x\r\n07-12-26 21:51:23,ALL,Info,server,\tServer shutdown finished";
  TTempDir errDir;
  const std::string errFile = errDir.File("stderr.txt");
  const int saved = dup(2);
  const int err = open(errFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(err, 0);
  dup2(err, 2);
  log->Log(LMTWARNING, LMDIMPORTANT, "USERS", "password guessing on account \"" + forged + "\"");
  log->LogFmt(LMTERROR, LMDALL, "WEB", "user %1\r\nOK", {forged + "\x7f"});
  log->Log(LMTALL, LMDINFO, "server", "not for the journal");
  log->LogFmt(LMTWARNING, LMDINFO, "SERVER", "LoginPw: %1", {"secret"}, false);
  dup2(saved, 2);
  close(saved);
  close(err);
  const std::string safe = "x??07-12-26 21:51:23,ALL,Info,server,?Server shutdown finished";
  const auto lines = Lines(ReadFileText(logName));
  ASSERT_EQ(lines.size(), 5u);
  EXPECT_EQ(lines[4], "07-12-26 21:51:23,WARNING,Info,SERVER,\tLoginPw: secret");
  EXPECT_EQ(lines[0], "07-12-26 21:51:23,WARNING,Important,USERS,\tpassword guessing on account \"" + safe + "\"");
  EXPECT_EQ(lines[1], "07-12-26 21:51:23,ERROR,All,WEB,\tuser " + safe + "?");
  EXPECT_EQ(lines[2], "OK");  // the program's own format may break the line
  EXPECT_EQ(ReadFileText(errFile), "<4>USERS: password guessing on account \"" + safe + "\"\n<3>WEB: user " + safe +
                                       "? / OK\n");
}

TEST_F(LogTest, FilterByTypeAndDepth) {
  auto log = MakeLog("LMTERROR", "LMDINFO");
  log->Log(LMTERROR, LMDALL, "s", "error-all");
  log->Log(LMTERROR, LMDINFO, "s", "error-info");
  log->Log(LMTALL, LMDINFO, "s", "all-info");
  const std::string text = ReadFileText(logName);
  EXPECT_EQ(text.find("error-all"), std::string::npos);
  EXPECT_NE(text.find("error-info"), std::string::npos);
  EXPECT_EQ(text.find("all-info"), std::string::npos);
}

TEST_F(LogTest, TokensAreSubstringsComparedInUpperCase) {
  auto log = MakeLog("lmterror lmtwarning", "lmdcommands,LMDImportant");
  EXPECT_TRUE(log->IsLogged(LMTWARNING, LMDCOMMANDS));
  EXPECT_TRUE(log->IsLogged(LMTERROR, LMDIMPORTANT));
  EXPECT_FALSE(log->IsLogged(LMTDEBUG, LMDCOMMANDS));
  EXPECT_FALSE(log->IsLogged(LMTERROR, LMDINFO));
  auto all = MakeLog("lmtall", "LMDALL");
  EXPECT_TRUE(all->IsLogged(LMTDEBUG, LMDPROCEDUREINFO));
}

TEST_F(LogTest, EmptyTypesAreReplacedWithEverything) {
  TLogFile log(&clock);
  log.LoadSettings(ini, "Debug");
  TIniFile f(ini);
  EXPECT_EQ(f.ReadString("debug", "MessageTypes", ""), "LMTALL");
  EXPECT_EQ(f.ReadString("DEBUG", "MessageDepths", ""), "LMDALL");
  EXPECT_TRUE(log.IsLogged(LMTDEBUG, LMDINFO));
}

TEST_F(LogTest, TypesWithoutDepthsAdmitNothingAndWriteNothingBack) {
  auto log = MakeLog("LMTALL", "");
  EXPECT_FALSE(log->IsLogged(LMTERROR, LMDALL));
  EXPECT_FALSE(TIniFile(ini).ValueExists("Debug", "MessageDepths"));
}

TEST_F(LogTest, BannersAndRestartAppend) {
  {
    auto log = MakeLog("LMTALL", "LMDALL");
    log->Open();
    log->Log(LMTALL, LMDINFO, "server", "first run");
  }  // destructor writes the end banner
  {
    auto log = MakeLog("LMTALL", "LMDALL");
    log->Open();
  }
  const auto lines = Lines(ReadFileText(logName));
  const std::string dashes(63, '-');
  ASSERT_EQ(lines.size(), 13u);
  EXPECT_EQ(lines[0], dashes);
  EXPECT_EQ(lines[1], "-------------- log started at 07-12-26 21:51 -------------");
  EXPECT_EQ(lines[1].size(), 58u);
  EXPECT_EQ(lines[2], dashes);
  EXPECT_EQ(lines[5], "--------------- log ended at 07-12-26 21:51 --------------");
  EXPECT_EQ(lines[5].size(), 58u);
  EXPECT_EQ(lines[7], dashes);  // the second run's start banner follows the end banner
  EXPECT_EQ(lines[8], lines[1]);
}

TEST_F(LogTest, UnwritableFolderLosesLinesUntilItBecomesWritable) {
  // A missing folder stands in for a read-only one (root writes anywhere).
  const std::string sub = dir.File("later");
  auto log = MakeLog("LMTALL", "LMDALL");
  log->FileName = sub + "/server.log";
  log->Open();
  log->Log(LMTALL, LMDINFO, "s", "lost");
  EXPECT_FALSE(log->Active());
  ASSERT_EQ(mkdir(sub.c_str(), 0755), 0);
  log->Log(LMTALL, LMDINFO, "s", "kept");
  EXPECT_TRUE(log->Active());
  const std::string text = ReadFileText(sub + "/server.log");
  EXPECT_EQ(text.find("lost"), std::string::npos);
  EXPECT_NE(text.find("kept"), std::string::npos);
}

TEST_F(LogTest, ConcurrentLinesNeverInterleave) {
  auto log = MakeLog("LMTALL", "LMDALL");
  constexpr int kThreads = 8, kLines = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t)
    threads.emplace_back([&, t] {
      const std::string body(200 + t * 10, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) log->LogFmt(LMTALL, LMDINFO, "T%1", "%1:" + body, {t});
    });
  for (auto& th : threads) th.join();
  const auto lines = Lines(ReadFileText(logName));
  ASSERT_EQ(lines.size(), static_cast<size_t>(kThreads * kLines));
  const std::regex shape(R"(\d\d-\d\d-\d\d \d\d:\d\d:\d\d,ALL,Info,T%1,\t(\d):([a-h]+))");
  for (const auto& l : lines) {
    std::smatch m;
    ASSERT_TRUE(std::regex_match(l, m, shape)) << l;
    const int t = m[1].str()[0] - '0';
    EXPECT_EQ(m[2].str(), std::string(200 + t * 10, static_cast<char>('a' + t)));
  }
}

TEST_F(LogTest, GlobalLoggerLifeCycle) {
  Log(LMTALL, LMDINFO, "s", "no logger yet");  // dropped, no crash
  InitLog(ini, "Debug", logName);
  Log(LMTALL, LMDINFO, "s", "through the global");
  DoneLog();
  EXPECT_EQ(Logger.load(), nullptr);
  const std::string text = ReadFileText(logName);
  EXPECT_NE(text.find("through the global"), std::string::npos);
  EXPECT_NE(text.find("log ended at"), std::string::npos);
  EXPECT_EQ(text.find("no logger yet"), std::string::npos);
}

// What a catch block leaves: one line of either form, a peer-driven one
// held to its limiter with the held-back lines counted, and a line the
// sink cannot take counted as lost.
TEST_F(LogTest, CaughtFailuresLeaveALineOrACount) {
  {
    TLogCapture capture;
    try {
      throw EFIFOList("full");
    } catch (const std::exception& e) {
      LogCaught("s", "Op", e);
      LogCaught("s", e);
    }
    TManualClock ticks;
    TLogRateLimiter limiter(&ticks, 1, 1000);
    for (int i = 0; i < 3; ++i) {
      try {
        throw 7;
      } catch (...) {
        LogCaughtLimited(limiter, "s", "Peer");
      }
    }
    ticks.AdvanceMs(1001);
    try {
      throw std::runtime_error("late");
    } catch (...) {
      LogCaughtLimited(limiter, "s", "Peer");
    }
    EXPECT_EQ(capture.Messages(),
              (std::vector<std::string>{"Op Exception: full", "Exception EFIFOList : full",
                                        "Peer Exception: unknown error", "Peer: 2 more exceptions not logged",
                                        "Peer Exception: late"}));
  }
  struct TFullDisk : TLogObject {
    void WriteLine(std::string_view, std::string_view, TLogMessageType, TLogMessageDepth) override {
      throw std::runtime_error("disk full");
    }
    void Open() override {}
    void LogMemory() override {}
  } disk;
  disk.Types = disk.Depths = 0xFF;
  TLogObject* previous = Logger.exchange(&disk);
  const uint64_t before = LogLinesLost();
  Log(LMTERROR, LMDALL, "s", "one");
  LogFmt(LMTERROR, LMDALL, "s", "%1", {2});
  Logger.exchange(previous);
  EXPECT_EQ(LogLinesLost(), before + 2);
}

}  // namespace

namespace {

TAuditRecord Record(std::string server, std::string actor, std::string kind) {
  TAuditRecord r;
  r.Surface = "web";
  r.Address = "192.0.2.1";
  r.Server = std::move(server);
  r.Actor = std::move(actor);
  r.Kind = std::move(kind);
  r.Detail = "line\nbreak";
  return r;
}

// The audit store: private, bounded by its cap (one older file kept),
// newest first, filtered and paged, and held to the servers a reader may see.
TEST(AuditStore, BoundedNewestFirstFilteredAndPaged) {
  TTempDir dir;
  const std::string file = dir.File("server.audit");
  const mode_t old = umask(0);
  SetAuditFile(file, 400);
  for (int i = 0; i < 30; ++i) Audit(Record(i % 2 ? "server_cfg B" : "server_cfg A", "ann", std::to_string(i)));
  umask(old);
  struct stat st{};
  ASSERT_EQ(stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_LE(st.st_size, 400);

  bool more = false;
  const auto all = ReadAudit({}, &more);
  ASSERT_GE(all.size(), 4u);
  EXPECT_LT(all.size(), 30u) << "only the cap and one older file are kept";
  EXPECT_EQ(all[0].Kind, "29");
  EXPECT_EQ(all[1].Kind, "28");
  EXPECT_EQ(all[0].Detail, "line?break");
  EXPECT_FALSE(more);

  TAuditQuery tenant;
  tenant.Servers = {"server_cfg A"};
  tenant.Server = "server_cfg B";  // asking for another's lines shows nothing
  EXPECT_TRUE(ReadAudit(tenant).empty());
  tenant.Server.clear();
  tenant.Count = 2;
  tenant.Skip = 1;
  const auto page = ReadAudit(tenant, &more);
  ASSERT_EQ(page.size(), 2u);
  EXPECT_EQ(page[0].Kind, "26");
  EXPECT_EQ(page[1].Kind, "24");
  EXPECT_TRUE(more);

  Audit(Record("server_cfg A", "eve", "kick"));
  TAuditQuery byActor;
  byActor.Actor = "EVE";
  ASSERT_EQ(ReadAudit(byActor).size(), 1u);

  // A session over its share: the line is held back, then counted.
  TManualClock clock;
  TLogRateLimiter limiter(&clock, 1, 1000);
  Audit(Record("server_cfg A", "eve", "first"), &limiter);
  Audit(Record("server_cfg A", "eve", "held"), &limiter);
  clock.AdvanceMs(1001);
  Audit(Record("server_cfg A", "eve", "third"), &limiter);
  const auto limited = ReadAudit(byActor);
  // Strangers share one allowance, however many sessions they open: a
  // flood of failed logins cannot push the other records out of the store.
  SetAuditFile(dir.File("flood.audit"));
  Audit(Record("server_cfg A", "eve", "kick"));
  for (int i = 0; i < 20000; ++i) Audit(Record("", "web", "login-failed"), StrangersAuditShare());
  TAuditQuery failed;
  failed.Kind = "login-failed";
  failed.Count = 1000;
  EXPECT_LE(ReadAudit(failed).size(), 30u);
  EXPECT_EQ(ReadAudit(byActor).size(), 1u);
  SetAuditFile("");
  ASSERT_EQ(limited.size(), 3u);
  EXPECT_EQ(limited[0].Kind, "third");
  EXPECT_NE(limited[0].Detail.find("1 earlier lines of this session held back"), std::string::npos);
}

}  // namespace
