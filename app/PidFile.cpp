#include "app/PidFile.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

bool WritePidFile(const std::string& fileName, std::string& fault) {
  if (fileName.empty()) return true;
  // Written beside and renamed into place, so that a reader never sees a
  // half-written id.
  const std::string temporary = fileName + ".new";
  FILE* f = std::fopen(temporary.c_str(), "w");
  if (!f) {
    fault = std::strerror(errno);
    return false;
  }
  const bool written = std::fprintf(f, "%ld\n", static_cast<long>(getpid())) > 0;
  const int writeErrno = errno;
  if (std::fclose(f) != 0 || !written) {
    fault = std::strerror(written ? errno : writeErrno);
    std::remove(temporary.c_str());
    return false;
  }
  if (std::rename(temporary.c_str(), fileName.c_str()) != 0) {
    fault = std::strerror(errno);
    std::remove(temporary.c_str());
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
