#include "app/StateLock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char* kLockName = "parleon-server.lock";

// The holder's id as the lock file states it; 0 when it states none.
long ReadHolder(int fd) {
  char text[32] = {};
  const ssize_t n = ::pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return 0;
  char* end = nullptr;
  const long pid = std::strtol(text, &end, 10);
  return pid > 0 ? pid : 0;
}

}  // namespace

std::string TStateLock::LockFileFor(const std::string& dbFileName) {
  const size_t slash = dbFileName.rfind('/');
  if (slash == std::string::npos) return kLockName;
  return dbFileName.substr(0, slash + 1) + kLockName;
}

bool TStateLock::Acquire(const std::string& dbFileName, std::string& fault, long& holder) {
  holder = 0;
  busy_ = false;
  Release();
  const std::string name = LockFileFor(dbFileName);
  // Never through a link: a planted one would have us create or lock a
  // file elsewhere.
  const int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) {
    fault = "cannot open lock file " + name + ": " + std::strerror(errno);
    return false;
  }
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int error = errno;
    if (error == EWOULDBLOCK) {
      busy_ = true;
      holder = ReadHolder(fd);
      fault = "the state folder is in use by " +
              (holder > 0 ? "process " + std::to_string(holder) : std::string("another process")) +
              " (lock file " + name + ")";
    } else {
      fault = "cannot lock " + name + ": " + std::strerror(error);
    }
    ::close(fd);
    return false;
  }
  const std::string text = std::to_string(static_cast<long>(::getpid())) + "\n";
  if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, text.data(), text.size(), 0) != static_cast<ssize_t>(text.size())) {
    fault = "cannot write lock file " + name + ": " + std::strerror(errno);
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void TStateLock::Release() {
  if (fd_ < 0) return;
  // The file stays: removing it would race a second process that has it
  // open and is about to lock it.
  ::close(fd_);
  fd_ = -1;
}
