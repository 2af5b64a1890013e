// TMemoryStorage: a TFBStorage that keeps its files in memory, for the fuzz
// target, benchmarks of the in-memory work and tests that fake failures
// (derive and override). Replace is atomic by construction.
//
// Thread-safety: none; use it from one thread or under the database lock.
#pragma once

#include <map>

#include "database/FreeBaseStorage.h"

class TMemoryStorage : public TFBStorage {
 public:
  bool Exists(const std::string& fileName) override { return files_.count(fileName) != 0; }
  bool CreateEmpty(const std::string& fileName) override;
  bool ReadAll(const std::string& fileName, std::string& content) override;
  bool Replace(const std::string& fileName, std::string_view content) override;
  int64_t Size(const std::string& fileName) override;
  bool KeepBackup(const std::string& fileName) override;

  // Direct access for tests: the files by name.
  std::map<std::string, std::string>& Files() { return files_; }

 private:
  std::map<std::string, std::string> files_;
};
