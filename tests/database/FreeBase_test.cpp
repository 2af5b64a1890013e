// TFreeBase as a component: paths, kinds, activation and its errors, flush
// rules, deletion, the child index, and the lock across threads.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "database/FreeBase.h"
#include "database/MemoryStorage.h"
#include "support/TempDir.h"

namespace {

struct TMemoryDb {
  TMemoryStorage storage;
  TManualClock clock;
  TFreeBase db{storage, &clock};
  void Open(TFBOpenFlag flag = TFBOpenFlag::ReadWrite) {
    db.SetFileName("db");
    db.SetOpenFlag(flag);
    db.SetActive(true);
  }
  size_t Children(std::string_view path) {
    auto lock = db.Lock();
    auto* node = EntryAs<TFBContainer>(db.GetEntry(lock, path, TFBEntryType::Node));
    return node ? node->ChildCount() : 0;
  }
};

TEST(FreeBase, PathsIgnoreLeadingAndRepeatedSeparatorsAndLetterCase) {
  TMemoryDb m;
  m.Open();
  ASSERT_TRUE(m.db.WriteInteger("\\Servers\\Main\\Value", 1));
  EXPECT_TRUE(m.db.WriteInteger("servers\\MAIN\\value", 2));  // no leading separator, other case
  EXPECT_EQ(m.db.ReadInteger("\\\\\\Servers\\\\\\Main\\\\Value", 0), 2);
  EXPECT_EQ(m.Children("Servers\\Main"), 1u);
  // Only A..Z fold: other bytes compare exactly.
  m.db.WriteInteger("\xe4", 1);
  EXPECT_EQ(m.db.ReadInteger("\xc4", -1), -1);
  // A path ending in "\" or made of separators names nothing and writes nothing.
  EXPECT_EQ(m.db.ReadInteger("Servers\\Main\\Value\\", 9), 9);
  EXPECT_FALSE(m.db.WriteInteger("Servers\\Main\\New\\", 3));
  EXPECT_FALSE(m.db.WriteInteger("\\\\", 3));
  EXPECT_FALSE(m.db.WriteInteger("", 3));
  EXPECT_EQ(m.Children("Servers\\Main"), 1u);
}

TEST(FreeBase, LookupsMatchKindAsWellAsName) {
  TMemoryDb m;
  m.Open();
  m.db.WriteString("Key", "text");
  EXPECT_EQ(m.db.ReadInteger("Key", -7), -7);
  EXPECT_TRUE(m.db.WriteInteger("Key", 5));  // a second entry beside the string
  EXPECT_EQ(m.db.ReadString("Key", ""), "text");
  EXPECT_EQ(m.db.ReadInteger("Key", 0), 5);
  EXPECT_EQ(m.db.ReadFloat("Key", 1.5), 1.5);
  // An inner component must be a node: a value of that name does not lead on.
  EXPECT_EQ(m.db.ReadInteger("Key\\Below", -1), -1);
  auto lock = m.db.Lock();
  EXPECT_EQ(m.db.GetEntry(lock, "anything at all", TFBEntryType::Root), m.db.GetEntry(lock, "", TFBEntryType::Root));
  EXPECT_EQ(m.db.GetEntry(lock, "Nowhere", TFBEntryType::Node), nullptr);
  EXPECT_EQ(m.Children(""), 0u) << "GetEntry never creates";
}

TEST(FreeBase, DatabaseNameIsStoredCutTo31) {
  TMemoryDb m;
  m.Open();
  m.db.SetDatabaseName(std::string(40, 'n'));
  EXPECT_EQ(m.db.DatabaseName().size(), 40u);
  m.db.SetActive(false);
  m.db.SetDatabaseName("ignored while inactive");
  EXPECT_EQ(m.db.DatabaseName(), "");
  m.Open();
  EXPECT_EQ(m.db.DatabaseName(), std::string(31, 'n'));
}

TEST(FreeBase, ActivationErrors) {
  std::vector<int> reported;
  TMemoryDb m;
  m.db.SetOnError([&](TFreeBase&, int& code) { reported.push_back(code); });
  m.db.SetActive(true);
  EXPECT_EQ(m.db.LastError(), 2);  // no file name
  EXPECT_FALSE(m.db.Active());
  m.db.SetActive(false);
  EXPECT_EQ(m.db.LastError(), 1);  // already inactive
  EXPECT_FALSE(m.db.Flush());
  EXPECT_EQ(m.db.LastError(), 6);
  m.storage.Files()["db"] = "KWFB\x40";  // too short
  m.Open();
  EXPECT_EQ(m.db.LastError(), 5);
  EXPECT_FALSE(m.db.Active());
  EXPECT_EQ(m.db.ReadString("x", "def"), "def");
  EXPECT_FALSE(m.db.WriteString("x", "v"));
  EXPECT_EQ(m.storage.Files()["db"], "KWFB\x40") << "a damaged file is left alone";
  EXPECT_EQ(reported, (std::vector<int>{2, 1, 6, 5}));
}

TEST(FreeBase, ErrorHandlerMayChangeTheCode) {
  TMemoryDb m;
  m.db.SetOnError([](TFreeBase&, int& code) { code = 40 + code; });
  EXPECT_FALSE(m.db.Flush());
  EXPECT_EQ(m.db.LastError(), 46);
}

TEST(FreeBase, MissingFileByOpenFlag) {
  TTempDir dir;
  const std::string file = dir.File("server.db");
  {
    TFreeBase db;
    db.SetFileName(file);
    db.SetActive(true);  // ReadWrite: an empty database, no file yet
    EXPECT_TRUE(db.Active());
    EXPECT_FALSE(FileExists(file));
    EXPECT_EQ(db.CurrentFileSize(), 0);
    EXPECT_TRUE(db.Flush());
    EXPECT_EQ(ReadFileText(file).size(), 74u);  // header, two zero bytes, checksum
  }
  std::remove(file.c_str());
  TFreeBase db;
  db.SetFileName(file);
  db.SetOpenFlag(TFBOpenFlag::CreateNotExists);
  db.SetActive(true);
  ASSERT_TRUE(db.Active());
  EXPECT_TRUE(FileExists(file));  // created empty at once
  EXPECT_EQ(ReadFileText(file).size(), 0u);
  EXPECT_TRUE(db.Flush());
  EXPECT_EQ(ReadFileText(file).size(), 74u);
  EXPECT_EQ(db.CurrentFileSize(), 74);

  TFreeBase nowhere;
  nowhere.SetFileName(dir.File("no such folder/server.db"));
  nowhere.SetOpenFlag(TFBOpenFlag::CreateNotExists);
  nowhere.SetActive(true);
  EXPECT_EQ(nowhere.LastError(), 3);
  EXPECT_FALSE(nowhere.Active());
}

TEST(FreeBase, ReadOnlyLoadsButNeverSaves) {
  TMemoryDb m;
  m.Open();
  m.db.WriteInteger("v", 1);
  m.db.SetActive(false);
  const std::string saved = m.storage.Files()["db"];
  m.Open(TFBOpenFlag::ReadOnly);
  ASSERT_TRUE(m.db.Active());
  EXPECT_EQ(m.db.ReadInteger("v", 0), 1);
  EXPECT_TRUE(m.db.WriteInteger("v", 2));  // in memory only
  EXPECT_FALSE(m.db.Flush());
  EXPECT_EQ(m.db.LastError(), 4);
  EXPECT_EQ(m.db.CurrentFileSize(), static_cast<int64_t>(saved.size()));
  m.db.SetActive(false);
  EXPECT_EQ(m.db.LastError(), 4);
  EXPECT_FALSE(m.db.Active());
  EXPECT_EQ(m.storage.Files()["db"], saved);
}

TEST(FreeBase, FileNameAndOpenFlagIgnoredWhileActive) {
  TMemoryDb m;
  m.Open();
  m.db.SetFileName("other");
  m.db.SetOpenFlag(TFBOpenFlag::ReadOnly);
  EXPECT_EQ(m.db.FileName(), "db");
  EXPECT_EQ(m.db.OpenFlag(), TFBOpenFlag::ReadWrite);
  EXPECT_TRUE(m.db.Flush());
  EXPECT_EQ(m.storage.Files().count("other"), 0u);
}

class TFailingStorage : public TMemoryStorage {
 public:
  bool failWrites = false;
  bool Replace(const std::string& name, std::string_view content) override {
    return !failWrites && TMemoryStorage::Replace(name, content);
  }
};

TEST(FreeBase, FailedSaveReportsFourAndStillClosesOnDeactivation) {
  TFailingStorage storage;
  TFreeBase db(storage);
  db.SetFileName("db");
  db.SetActive(true);
  db.WriteInteger("a", 1);
  ASSERT_TRUE(db.Flush());
  const std::string saved = storage.Files()["db"];
  storage.failWrites = true;
  db.WriteInteger("a", 2);
  EXPECT_FALSE(db.Flush());
  EXPECT_EQ(db.LastError(), 4);
  EXPECT_EQ(db.CurrentFileSize(), static_cast<int64_t>(saved.size()));
  db.SetActive(false);
  EXPECT_EQ(db.LastError(), 4);
  EXPECT_FALSE(db.Active());
  EXPECT_EQ(storage.Files()["db"], saved);
}

TEST(FreeBase, DeletingSubtreesKeepsListsAndLookupsConsistent) {
  TMemoryDb m;
  m.Open();
  // Enough children for the name index, with namesakes of two kinds.
  for (int i = 0; i < 100; ++i) m.db.WriteInteger("List\\n" + std::to_string(i) + "\\v", i);
  m.db.WriteString("List\\n5", "string namesake");
  m.db.CreateNode("LIST\\dup");
  {
    auto lock = m.db.Lock();
    auto* list = EntryAs<TFBContainer>(m.db.GetEntry(lock, "List", TFBEntryType::Node));
    // A second node of the same name cannot come from a path; append it directly.
    TFBEntry* second = list->AddChild(TFBEntryType::Node, "DUP");
    EntryAs<TFBContainer>(second)->AddChild(TFBEntryType::Integer, "marker");
    EXPECT_FALSE(m.db.DeleteEntry(lock, m.db.GetEntry(lock, "", TFBEntryType::Root)));
    // First, last and middle children, and the first of two namesakes.
    for (const char* path : {"List\\n0", "List\\n99", "List\\n50", "List\\dup"})
      EXPECT_TRUE(m.db.DeleteEntry(lock, m.db.GetEntry(lock, path, TFBEntryType::Node))) << path;
    EXPECT_EQ(m.db.GetEntry(lock, "List\\dup", TFBEntryType::Node), second);
    EXPECT_EQ(list->FirstChild()->Name(), "n1");
    EXPECT_EQ(list->FirstChild()->Prev(), list);
    EXPECT_EQ(list->LastChild()->Name(), "DUP");
    size_t walked = 0;
    for (TFBEntry* e = list->FirstChild(); e; e = e->Next()) {
      if (e->Next()) {
        EXPECT_EQ(e->Next()->Prev(), e);
      }
      ++walked;
    }
    EXPECT_EQ(walked, list->ChildCount());
  }
  EXPECT_EQ(m.Children("List"), 99u);  // 100 + string + 2 dup - 4
  EXPECT_EQ(m.db.ReadInteger("List\\n0\\v", -1), -1);
  EXPECT_EQ(m.db.ReadInteger("List\\n51\\v", -1), 51);
  EXPECT_EQ(m.db.ReadString("List\\n5", ""), "string namesake");
  EXPECT_TRUE(m.db.Flush());
  m.db.SetActive(false);
  m.Open();
  EXPECT_EQ(m.Children("List"), 99u);
  EXPECT_EQ(m.db.ReadInteger("List\\dup\\marker", -1), 0);
}

TEST(FreeBase, PathsDeeperThanTheLimitNameNothing) {
  TMemoryDb m;
  m.Open();
  std::string path;
  for (int i = 1; i < kFBMaxDepth; ++i) path += "d\\";
  EXPECT_TRUE(m.db.WriteInteger(path + "v", 1));      // kFBMaxDepth components
  EXPECT_FALSE(m.db.WriteInteger(path + "d\\v", 1));  // one more
  m.db.CreateNode(path + "d");                          // the deepest node the file allows
  m.db.CreateNode(path + "d\\e");                      // one more: nothing created
  EXPECT_TRUE(m.db.Flush());
  m.db.SetActive(false);
  m.Open();
  ASSERT_TRUE(m.db.Active());
  EXPECT_EQ(m.db.ReadInteger(path + "v", 0), 1);
  EXPECT_EQ(m.Children(path + "d"), 0u);
}

TEST(FreeBase, LockSerialisesWritersEnumeratorsAndDeleters) {
  TMemoryDb m;
  m.Open();
  constexpr int kThreads = 4, kRounds = 300;
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&m, t] {
      const std::string mine = "T\\" + std::to_string(t) + "\\";
      for (int i = 0; i < kRounds; ++i) {
        m.db.WriteInteger(mine + std::to_string(i % 20), i);
        auto lock = m.db.Lock();
        // Walk every thread's list while others write and delete.
        if (auto* all = EntryAs<TFBContainer>(m.db.GetEntry(lock, "T", TFBEntryType::Node)))
          for (TFBEntry* n = all->FirstChild(); n; n = n->Next())
            for (TFBEntry* v = EntryAs<TFBContainer>(n)->FirstChild(); v; v = v->Next()) (void)v->Name();
        if (i % 7 == 0) m.db.DeleteEntry(lock, m.db.GetEntry(lock, mine + std::to_string(i % 20), TFBEntryType::Integer));
      }
    });
  }
  for (auto& th : threads) th.join();
  // The last round of each thread wrote value 299 at key 19 and 299 % 7 != 0.
  for (int t = 0; t < kThreads; ++t) EXPECT_EQ(m.db.ReadInteger("T\\" + std::to_string(t) + "\\19", 0), 299);
}

}  // namespace
