#include "database/MemoryStorage.h"

bool TMemoryStorage::CreateEmpty(const std::string& fileName) {
  return files_.emplace(fileName, std::string()).second;
}

bool TMemoryStorage::ReadAll(const std::string& fileName, std::string& content) {
  const auto it = files_.find(fileName);
  if (it == files_.end()) return false;
  content = it->second;
  return true;
}

bool TMemoryStorage::Replace(const std::string& fileName, std::string_view content) {
  files_[fileName] = std::string(content);
  return true;
}

int64_t TMemoryStorage::Size(const std::string& fileName) {
  const auto it = files_.find(fileName);
  return it == files_.end() ? 0 : static_cast<int64_t>(it->second.size());
}

bool TMemoryStorage::KeepBackup(const std::string& fileName) {
  const auto it = files_.find(fileName);
  if (it == files_.end()) return false;
  files_[BackupFileName(fileName)] = it->second;
  return true;
}
