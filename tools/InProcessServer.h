// What the load tools that run a server inside their own process share: a
// scratch home with its settings file and database, and the process's
// resident memory. parleon-login-flood and parleon-hostile use it; it is a
// header because each tool is a program of its own.
#pragma once

#include <stdlib.h>

#include <fstream>
#include <memory>
#include <optional>
#include <string>

#include "app/Globals.h"
#include "database/FreeBase.h"
#include "database/ServerDatabase.h"
#include "server/ServerList.h"
#include "server/ServerObject.h"

// Resident KiB of a process, from /proc/<pid>/status ("self" for this one); -1 when unreadable.
inline long ResidentKiB(const std::string& pid = "self") {
  std::ifstream status("/proc/" + pid + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
  return -1;
}

// Makes a fresh folder under /tmp named after `prefix`, the process's server
// list and a database in that folder, and returns the environment servers
// start in; nothing when the folder cannot be made.
inline std::optional<TServerEnvironment> MakeScratchHome(const std::string& prefix) {
  std::string pattern = "/tmp/" + prefix + "-XXXXXX";
  if (!mkdtemp(pattern.data())) return std::nullopt;
  const std::string dir = pattern;
  ServerList = new TServerListObject;
  auto db = std::make_shared<TFreeBase>();
  db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
  db->SetFileName(dir + "/server.db");
  db->SetActive(true);
  InstallServerDatabase(db);
  return TServerEnvironment{dir + "/server.ini", "127.0.0.1",         "Linux",
                            ServerVersion.Major,  ServerVersion.Minor, ServerVersion.Release,
                            ServerVersion.Build};
}
