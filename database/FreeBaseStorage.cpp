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
    // existing one keeps the permissions and owner it was given. They are
    // taken from the file itself, never through a link, and go only onto
    // the new file, which is ours alone: a leftover of a crash or anything
    // planted under its name (a link to another file) is removed, and the
    // name is then created exclusively, so nothing else is ever written.
    mode_t mode = 0600;
    uid_t owner = static_cast<uid_t>(-1);
    gid_t group = static_cast<gid_t>(-1);
    struct stat st;
    if (::lstat(fileName.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
      mode = st.st_mode & 07777;
      owner = st.st_uid;
      group = st.st_gid;
    }
    if (::unlink(temp.c_str()) != 0 && errno != ENOENT) return false;
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // Only root may give a file away; for anyone else the owner is already
    // the one who saves, and a failure changes nothing.
    if (owner != static_cast<uid_t>(-1) && (owner != ::geteuid() || group != ::getegid()))
      if (::fchown(fd, owner, group) != 0) {
        // Not root: the new file stays the saver's, as said above.
      }
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

  bool KeepBackup(const std::string& fileName) override {
    // A second name for the file as it is: the save that follows renames a
    // new file over the first name, and the old one lives on under this.
    const std::string backup = BackupFileName(fileName);
    struct stat st;
    if (::lstat(fileName.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
    if (::unlink(backup.c_str()) != 0 && errno != ENOENT) return false;
    return ::link(fileName.c_str(), backup.c_str()) == 0;
  }

  int64_t Size(const std::string& fileName) override {
    struct stat st;
    if (::stat(fileName.c_str(), &st) != 0) return 0;
    return static_cast<int64_t>(st.st_size);
  }
};

}  // namespace

std::string ReplacementFileName(const std::string& fileName) { return fileName + ".tmp"; }

std::string BackupFileName(const std::string& fileName) { return fileName + ".bak"; }

TFBStorage& DiskStorage() {
  static TDiskStorage storage;
  return storage;
}
