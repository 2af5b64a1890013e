#include "common/FileReplace.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool ReplaceFile(const std::string& fileName, std::string_view content, mode_t mode, bool keepExisting,
                 std::string& fault) {
  std::string temporary = fileName + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    fault = std::strerror(errno);
    return false;
  }
  bool ok = true;
  struct stat old{};
  if (keepExisting && ::lstat(fileName.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    ok = ::fchmod(fd, old.st_mode & 07777) == 0;
    // Only root may give a file away; for anyone else it stays the writer's.
    if (::fchown(fd, old.st_uid, old.st_gid) != 0 && errno != EPERM) ok = false;
  } else {
    ok = ::fchmod(fd, mode) == 0;
  }
  for (size_t done = 0; ok && done < content.size();) {
    const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
    if (n < 0 && errno == EINTR) continue;
    ok = n > 0;
    if (ok) done += static_cast<size_t>(n);
  }
  ok = ok && ::fsync(fd) == 0;
  int error = errno;
  if (::close(fd) != 0 && ok) {
    ok = false;
    error = errno;
  }
  if (ok && std::rename(temporary.c_str(), fileName.c_str()) != 0) {
    ok = false;
    error = errno;
  }
  if (!ok) {
    fault = std::strerror(error);
    ::unlink(temporary.c_str());
  }
  return ok;
}
