// Saving to disk: a save that fails for any reason, and a process killed in
// the middle of a stream of saves, must leave a server.db that loads.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "database/FreeBase.h"
#include "support/StoredDatabase.h"
#include "support/TempDir.h"

namespace {

// Opens `db` read-write on `file`.
void Open(TFreeBase& db, const std::string& file) {
  db.SetFileName(file);
  db.SetActive(true);
}

void FillAccounts(TFreeBase& db, int count, const std::string& password) {
  for (int i = 0; i < count; ++i)
    db.WriteString("Servers\\s\\Users\\user" + std::to_string(i) + "\\LogInPassWord", password);
}

TEST(FreeBaseDisk, SaveReplacesTheFileWholeAndKeepsItsPermissions) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  TFreeBase db;
  Open(db, file);
  ASSERT_TRUE(db.Flush());
  struct stat st;
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u) << "passwords inside: private by default";
  ::chmod(file.c_str(), 0640);
  FillAccounts(db, 10, "pw");
  ASSERT_TRUE(db.Flush());
  ASSERT_EQ(::stat(file.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);
  EXPECT_FALSE(FileExists(ReplacementFileName(file)));
  EXPECT_EQ(db.CurrentFileSize(), static_cast<int64_t>(st.st_size));
}

TEST(FreeBaseDisk, FailedSaveLeavesThePreviousFile) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  TFreeBase db;
  Open(db, file);
  FillAccounts(db, 5, "old");
  ASSERT_TRUE(db.Flush());
  const std::string before = ReadFileText(file);
  // The new file cannot be created: a folder stands where it would go.
  ASSERT_EQ(::mkdir(ReplacementFileName(file).c_str(), 0700), 0);
  FillAccounts(db, 5, "new");
  EXPECT_FALSE(db.Flush());
  EXPECT_EQ(db.LastError(), 4);
  EXPECT_EQ(ReadFileText(file), before);
  EXPECT_EQ(db.CurrentFileSize(), static_cast<int64_t>(before.size()));
  ::rmdir(ReplacementFileName(file).c_str());
  EXPECT_TRUE(db.Flush());
  TStoredDatabase after(file);
  EXPECT_EQ(after.db.ReadString("Servers\\s\\Users\\user4\\LogInPassWord", ""), "new");
}

TEST(FreeBaseDisk, FullDiskInTheMiddleOfASaveLeavesThePreviousFile) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  {
    TFreeBase db;
    Open(db, file);
    FillAccounts(db, 3, "old");
  }
  const std::string before = ReadFileText(file);
  ASSERT_GT(before.size(), 66u);
  // A child whose file size limit lets the save start but not finish, as a
  // full disk would.
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    signal(SIGXFSZ, SIG_IGN);
    TFreeBase db;
    Open(db, file);
    FillAccounts(db, 2000, "new");
    const rlimit limit{before.size() + 100, before.size() + 100};
    setrlimit(RLIMIT_FSIZE, &limit);
    const bool saved = db.Flush();
    _exit(!saved && db.LastError() == 4 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "the child's save should have failed with 4";
  EXPECT_EQ(ReadFileText(file), before);
  TStoredDatabase after(file);
  EXPECT_TRUE(after.db.Active());
}

TEST(FreeBaseDisk, KillDuringAStreamOfFlushesNeverLeavesAnUnloadableFile) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  int lastSeen = -1;
  for (int round = 0; round < 12; ++round) {
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TFreeBase db;
      Open(db, file);
      // Every flush writes a consistent state: a counter and as many
      // entries below "Items", so that a half-written file would show.
      for (int n = db.ReadInteger("Count", 0) + 1;; ++n) {
        db.WriteInteger("Count", n);
        db.WriteString("Items\\" + std::to_string(n), std::string(200, 'x'));
        db.Flush();
      }
    }
    // Kill at varied moments of the stream, from its first flushes on.
    std::this_thread::sleep_for(std::chrono::milliseconds(3 + 7 * round));
    kill(child, SIGKILL);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (!FileExists(file)) continue;  // killed before its first save
    TStoredDatabase loaded(file);
    ASSERT_TRUE(loaded.db.Active()) << "round " << round << ", error " << loaded.db.LastError();
    const int count = loaded.db.ReadInteger("Count", 0);
    auto lock = loaded.db.Lock();
    auto* items = EntryAs<TFBContainer>(loaded.db.GetEntry(lock, "Items", TFBEntryType::Node));
    ASSERT_NE(items, nullptr);
    EXPECT_EQ(static_cast<int>(items->ChildCount()), count);
    EXPECT_GE(count, lastSeen);
    lastSeen = count;
  }
  EXPECT_GT(lastSeen, 0) << "no flush ever completed";
}

// Names beside the database that someone else may have planted: the new
// file is never written through a link, and the mode of a file the link
// points to is never copied.
TEST(FreeBaseDisk, SaveWritesThroughNoLinkAndCopiesNoStrangersMode) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  const std::string victim = dir.File("victim");
  WriteFileText(victim, "not the database");
  ::chmod(victim.c_str(), 0644);
  ASSERT_EQ(::symlink(victim.c_str(), ReplacementFileName(file).c_str()), 0);
  ASSERT_EQ(::symlink(victim.c_str(), file.c_str()), 0);
  {
    TFreeBase db;
    db.SetFileName(file);
    db.SetOpenFlag(TFBOpenFlag::ReadWrite);
    db.SetSalvage(true);
    db.SetActive(true);  // the victim is no database: salvage starts empty
    ASSERT_TRUE(db.Active());
    FillAccounts(db, 3, "pw");
    ASSERT_TRUE(db.Flush());
  }
  EXPECT_EQ(ReadFileText(victim), "not the database");
  struct stat st;
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  ASSERT_EQ(::lstat(file.c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  TStoredDatabase after(file);
  EXPECT_EQ(after.db.ReadString("Servers\\s\\Users\\user2\\LogInPassWord", ""), "pw");
}

// Each save keeps the file it replaces as server.db.bak, but only a good
// one: a salvaged file never takes the place of the last good copy.
TEST(FreeBaseDisk, SaveKeepsThePreviousGoodFileAsBackup) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  const std::string backup = BackupFileName(file);
  TFreeBase db;
  Open(db, file);
  FillAccounts(db, 1, "one");
  ASSERT_TRUE(db.Flush());
  EXPECT_FALSE(FileExists(backup)) << "nothing was there to keep";
  const std::string first = ReadFileText(file);
  FillAccounts(db, 1, "two");
  ASSERT_TRUE(db.Flush());
  EXPECT_EQ(ReadFileText(backup), first);
  db.SetActive(false);  // saves once more: the backup is now the second save
  const std::string second = ReadFileText(file);
  const std::string lastGood = ReadFileText(backup);
  ASSERT_NE(lastGood, first);

  WriteFileText(file, second.substr(0, second.size() - 30));
  TFreeBase salvaged;
  salvaged.SetSalvage(true);
  Open(salvaged, file);
  ASSERT_TRUE(salvaged.Active());
  FillAccounts(salvaged, 1, "three");
  ASSERT_TRUE(salvaged.Flush());
  EXPECT_EQ(ReadFileText(backup), lastGood) << "the damaged file is no backup";
  ASSERT_TRUE(salvaged.Flush());
  TStoredDatabase kept(backup);
  EXPECT_EQ(kept.db.ReadString("Servers\\s\\Users\\user0\\LogInPassWord", ""), "three");
}

}  // namespace
