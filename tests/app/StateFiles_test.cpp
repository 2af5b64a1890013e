// The files of the state folder that start-up writes by name: the process
// id file and the state lock. A local user who may write to the folder must
// not make the server write through a link to another file.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "app/PidFile.h"
#include "app/StateLock.h"
#include "support/TempDir.h"

namespace {

TEST(StateFilesTest, PidFileAndLockFollowNoPlantedLinkAndTheLockNamesItsHolder) {
  TTempDir dir;
  const std::string victim = dir.File("victim");
  WriteFileText(victim, "keep");
  ASSERT_EQ(::chmod(victim.c_str(), 0600), 0);
  const std::string pidFile = dir.File("server.pid");
  // Where an older build wrote its new file, and the file's own name.
  ASSERT_EQ(::symlink(victim.c_str(), (pidFile + ".new").c_str()), 0);
  std::string fault;
  ASSERT_TRUE(WritePidFile(pidFile, fault)) << fault;
  ASSERT_EQ(::symlink(victim.c_str(), dir.File("other.pid").c_str()), 0);
  ASSERT_TRUE(WritePidFile(dir.File("other.pid"), fault)) << fault;
  EXPECT_EQ(ReadFileText(pidFile), std::to_string(::getpid()) + "\n");
  EXPECT_EQ(ReadFileText(dir.File("other.pid")), std::to_string(::getpid()) + "\n");
  EXPECT_EQ(ReadFileText(victim), "keep");
  struct stat st{};
  ASSERT_EQ(::stat(victim.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  ASSERT_EQ(::lstat(dir.File("other.pid").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));  // the link itself was replaced

  // The lock: a second holder in the same folder is refused and told who
  // holds it; a link at the lock's name is refused too.
  const std::string db = dir.File("server.db");
  TStateLock first, second;
  long holder = 0;
  ASSERT_TRUE(first.Acquire(db, fault, holder)) << fault;
  EXPECT_FALSE(second.Acquire(db, fault, holder));
  EXPECT_EQ(holder, static_cast<long>(::getpid()));
  EXPECT_NE(fault.find("in use by process " + std::to_string(::getpid())), std::string::npos) << fault;
  first.Release();
  EXPECT_TRUE(second.Acquire(db, fault, holder)) << fault;
  second.Release();
  TTempDir linked;
  ASSERT_EQ(::symlink(victim.c_str(), TStateLock::LockFileFor(linked.File("server.db")).c_str()), 0);
  EXPECT_FALSE(first.Acquire(linked.File("server.db"), fault, holder));
  EXPECT_EQ(ReadFileText(victim), "keep");
}

}  // namespace
