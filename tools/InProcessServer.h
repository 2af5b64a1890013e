// What the load tools that run a server inside their own process share: a
// scratch home with its settings file and database, and the process's
// resident memory, loopback sockets. parleon-login-flood and parleon-hostile use it; it is a
// header because each tool is a program of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <cstdio>

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

// A non-blocking UDP socket connected to the server's port on loopback; ends
// the tool when the system refuses one.
inline int LoopbackSocket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(port);
  to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::perror("loopback socket");
    std::exit(2);
  }
  return fd;
}
