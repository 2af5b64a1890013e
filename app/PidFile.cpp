#include "app/PidFile.h"

#include <unistd.h>

#include <cstdio>
#include <fstream>

#include "common/FileReplace.h"

bool WritePidFile(const std::string& fileName, std::string& fault) {
  if (fileName.empty()) return true;
  // Replaced whole (common/FileReplace.h), so that a reader never sees a
  // half-written id, and never written through a link planted at its name.
  // Readable by all, as process id files are: logrotate and monitors read it.
  const std::string text = std::to_string(static_cast<long>(getpid())) + "\n";
  return ReplaceFile(fileName, text, 0644, false, fault);
}

void RemovePidFile(const std::string& fileName) {
  if (fileName.empty()) return;
  std::ifstream in(fileName);
  long pid = 0;
  if (!(in >> pid) || pid != static_cast<long>(getpid())) return;
  in.close();
  std::remove(fileName.c_str());
}
