#include "common/PassedSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <mutex>
#include <string>

namespace {

struct TPassedSocket {
  int Fd;
  int Type;
  uint16_t Port;
  uint32_t Address;  // network order; INADDR_ANY: every address
};

std::mutex poolLock;
std::vector<TPassedSocket> pool;  // guarded by poolLock

// The port of a bound IPv4 socket (0 for any other) and its address.
uint16_t BoundPort(int fd, uint32_t& address) {
  sockaddr_storage local{};
  socklen_t len = sizeof local;
  if (getsockname(fd, reinterpret_cast<sockaddr*>(&local), &len) != 0 || local.ss_family != AF_INET) return 0;
  address = reinterpret_cast<const sockaddr_in&>(local).sin_addr.s_addr;
  return ntohs(reinterpret_cast<const sockaddr_in&>(local).sin_port);
}

}  // namespace

void PassSocket(int fd) {
  int type = 0;
  socklen_t len = sizeof type;
  uint32_t address = 0;
  const uint16_t port = BoundPort(fd, address);
  // A socket no listener could use (the listeners speak IPv4 only) would
  // only sit here: it goes at once.
  if (port == 0 || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0) {
    ::close(fd);
    return;
  }
  std::lock_guard<std::mutex> lock(poolLock);
  pool.push_back({fd, type, port, address});
}

int TakePassedSocket(int type, uint16_t port, std::string_view address) {
  in_addr wanted{};
  wanted.s_addr = htonl(INADDR_ANY);
  if (port == 0 || (!address.empty() && inet_pton(AF_INET, std::string(address).c_str(), &wanted) != 1)) return -1;
  std::lock_guard<std::mutex> lock(poolLock);
  for (auto it = pool.begin(); it != pool.end(); ++it) {
    if (it->Type != type || it->Port != port || it->Address != wanted.s_addr) continue;
    const int fd = it->Fd;
    pool.erase(it);
    return fd;
  }
  return -1;
}

std::vector<uint16_t> PassedSocketPorts() {
  std::lock_guard<std::mutex> lock(poolLock);
  std::vector<uint16_t> ports;
  for (const TPassedSocket& s : pool) ports.push_back(s.Port);
  return ports;
}

std::vector<uint16_t> ClosePassedSockets() {
  std::vector<TPassedSocket> unused;
  {
    std::lock_guard<std::mutex> lock(poolLock);
    unused.swap(pool);
  }
  std::vector<uint16_t> ports;
  for (const TPassedSocket& s : unused) {
    ::close(s.Fd);
    ports.push_back(s.Port);
  }
  return ports;
}
