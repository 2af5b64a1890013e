#include "app/PidFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

bool WritePidFile(const std::string& fileName, std::string& fault) {
  if (fileName.empty()) return true;
  // Written under a fresh name beside it (made exclusively: a link planted
  // in the folder is never followed) and renamed into place, so that a
  // reader never sees a half-written id. The rename replaces a link at the
  // file's own name rather than writing through it.
  std::string temporary = fileName + ".XXXXXX";
  const int fd = ::mkostemp(temporary.data(), O_CLOEXEC);
  if (fd < 0) {
    fault = std::strerror(errno);
    return false;
  }
  const std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
  // Readable by all, as process id files are: logrotate and monitors read it.
  bool ok = ::fchmod(fd, 0644) == 0;
  ok = ok && ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
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
    return false;
  }
  return true;
}

void RemovePidFile(const std::string& fileName) {
  if (fileName.empty()) return;
  std::ifstream in(fileName);
  long pid = 0;
  if (!(in >> pid) || pid != static_cast<long>(getpid())) return;
  in.close();
  std::remove(fileName.c_str());
}
