// Database figures at 100 and 10,000 accounts: loading server.db, finding an
// account (GetUser without counting) and flushing the whole file to disk
// (written beside it, forced to disk, renamed over it).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <map>
#include <string>

#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/PasswordHash.h"

namespace {

constexpr const char* kServer = "server_cfg Default";

std::string LoginName(int i) { return "user" + std::to_string(i); }

// Scratch folders, removed when the benchmark ends.
struct TScratch {
  std::map<int, std::string> files;  // by number of accounts
  ~TScratch() {
    for (const auto& [accounts, file] : files) std::filesystem::remove_all(std::filesystem::path(file).parent_path());
  }
};

// A server.db with `accounts` accounts, made once per size in a scratch folder.
const std::string& DatabaseFile(int accounts) {
  static TScratch scratch;
  auto& file = scratch.files[accounts];
  if (!file.empty()) return file;
  std::string folder = (std::filesystem::temp_directory_path() / "parleon-bench-XXXXXX").string();
  if (!mkdtemp(folder.data())) std::abort();
  file = folder + "/server.db";
  TFreeBase db;
  db.SetFileName(file);
  db.SetActive(true);
  // The values AddUser writes, without its flush per account.
  for (int i = 0; i < accounts; ++i) {
    const std::string path = "\\Servers\\server_cfg Default\\Users\\" + LoginName(i) + "\\";
    db.WriteString(path + "LogInName", LoginName(i));
    db.WriteString(path + "LogInPassWord", "password" + std::to_string(i));
    db.WriteString(path + "NickName", "Nick " + std::to_string(i));
    db.WriteInteger(path + "Priviliges", 4);
    db.WriteString(path + "RegisteredBy", "admin");
    db.WriteInteger(path + "Logins", i);
    db.WriteFloat(path + "Created", 45000.5);
  }
  db.SetActive(false);
  return file;
}

void Open(TFreeBase& db, int accounts, TFBOpenFlag flag) {
  db.SetFileName(DatabaseFile(accounts));
  db.SetOpenFlag(flag);
  db.SetActive(true);
  if (!db.Active()) std::abort();
}

void BM_Load(benchmark::State& state) {
  const int accounts = static_cast<int>(state.range(0));
  DatabaseFile(accounts);
  for (auto _ : state) {
    TFreeBase db;
    Open(db, accounts, TFBOpenFlag::ReadOnly);
    state.PauseTiming();
    db.SetActive(false);  // read-only: nothing written
    state.ResumeTiming();
  }
  state.counters["file_bytes"] = static_cast<double>(std::filesystem::file_size(DatabaseFile(accounts)));
}

void BM_GetUser(benchmark::State& state) {
  const int accounts = static_cast<int>(state.range(0));
  TFreeBase db;
  Open(db, accounts, TFBOpenFlag::ReadOnly);
  int i = 0;
  for (auto _ : state) {
    auto user = GetUser(db, LoginName(i), kServer, false);
    if (!user) std::abort();
    benchmark::DoNotOptimize(user);
    i = (i + 7919) % accounts;  // spread over the whole list
  }
}

void BM_Flush(benchmark::State& state) {
  const int accounts = static_cast<int>(state.range(0));
  TFreeBase db;
  Open(db, accounts, TFBOpenFlag::ReadWrite);
  for (auto _ : state)
    if (!db.Flush()) std::abort();
}

// One login's password check at the shipped cost: what a voice login holds
// its listener thread for.
void BM_PasswordCheck(benchmark::State& state) {
  TClientObject account;
  account.StoredPassword = password_hash::Hash("a right password");
  for (auto _ : state)
    if (!PasswordMatches(account, "a right password")) std::abort();
}

}  // namespace

BENCHMARK(BM_PasswordCheck)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Load)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_GetUser)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Flush)->Arg(100)->Arg(10000)->Unit(benchmark::kMicrosecond);
