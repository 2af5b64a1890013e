#include "database/FreeBaseStorage.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

namespace {

// Writes all of `data`, resuming after interruptions and partial writes.
bool WriteAll(int fd, std::string_view data) {
  while (!data.empty()) {
    const ssize_t n = ::write(fd, data.data(), data.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data.remove_prefix(static_cast<size_t>(n));
  }
  return true;
}

// Makes the rename itself durable. Some file systems cannot sync a folder;
// the file is in place all the same, so that is no failure.
void SyncFolderOf(const std::string& fileName) {
  std::filesystem::path folder = std::filesystem::path(fileName).parent_path();
  if (folder.empty()) folder = std::filesystem::path(".");
  const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);
  ::close(fd);
}

class TDiskStorage final : public TFBStorage {
 public:
  bool Exists(const std::string& fileName) override {
    struct stat st;
    return ::stat(fileName.c_str(), &st) == 0;
  }

  bool CreateEmpty(const std::string& fileName) override {
    const int fd = ::open(fileName.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    ::close(fd);
    return true;
  }

  bool ReadAll(const std::string& fileName, std::string& content) override {
    const int fd = ::open(fileName.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st;
    bool ok = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    content.clear();
    if (ok) content.reserve(static_cast<size_t>(st.st_size));
    char buffer[65536];
    while (ok) {
      const ssize_t n = ::read(fd, buffer, sizeof buffer);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) ok = false;
      if (n <= 0) break;
      content.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return ok;
  }

  bool Replace(const std::string& fileName, std::string_view content) override {
    const std::string temp = ReplacementFileName(fileName);
    // Accounts hold passwords: a new database is private to its owner, an
    // existing one keeps the permissions it was given.
    mode_t mode = 0600;
    struct stat st;
    if (::stat(fileName.c_str(), &st) == 0) mode = st.st_mode & 07777;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = ::fchmod(fd, mode) == 0 && WriteAll(fd, content) && ::fsync(fd) == 0;
    ok = ::close(fd) == 0 && ok;
    if (ok) ok = ::rename(temp.c_str(), fileName.c_str()) == 0;
    if (!ok) {
      ::unlink(temp.c_str());
      return false;
    }
    SyncFolderOf(fileName);
    return true;
  }

  int64_t Size(const std::string& fileName) override {
    struct stat st;
    if (::stat(fileName.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
  }
};

}  // namespace

std::string ReplacementFileName(const std::string& fileName) { return fileName + ".tmp"; }

TFBStorage& DiskStorage() {
  static TDiskStorage storage;
  return storage;
}
