// What the load tools that run a server inside their own process share: a
// scratch home with its settings file and database, and the process's
// resident memory, loopback sockets. parleon-login-flood, parleon-guess-flood and parleon-hostile use it; it is a
// header because each tool is a program of its own.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>

#include <cstdio>

#include <cstdlib>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Globals.h"
#include "common/CommandCodes.h"
#include "common/Packets.h"
#include "common/WireFormat.h"
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

// Hands each "--name value" pair of the command line to `set`.
inline void ForEachOption(int argc, char** argv, const std::function<void(const std::string&, double)>& set) {
  for (int i = 1; i + 1 < argc; i += 2) set(argv[i], std::atof(argv[i + 1]));
}

// A voice login request as a client sends it, asking for a unique nickname;
// anonymous without `account`; `release` is the client version's third number.
inline std::vector<uint8_t> LoginDatagram(const std::string& clientName, const std::string& nick,
                                          const std::string& account = "", const std::string& password = "",
                                          uint16_t release = 20) {
  auto p = NewMaintenancePacket(cmd::Login, 0, 0, 1, 160);
  uint8_t* d = p->Memory();
  wire::PutStr(d + 20, 29, clientName);
  wire::PutStr(d + 50, 29, "Linux");
  wire::PutU16(d + 84, release);
  d[88] = 1;  // unique nickname
  wire::PutStr(d + 90, 29, account);
  wire::PutStr(d + 120, 29, password);
  wire::PutStr(d + 150, 29, nick);
  p->UpdateCRC();
  return std::vector<uint8_t>(d, d + p->Size());
}
