#include "app/ServiceSockets.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <string>

#include "common/Log.h"
#include "common/PassedSockets.h"

int AdoptServiceSockets() {
  const int count = sd_listen_fds(1);
  int taken = 0;
  for (int fd = SD_LISTEN_FDS_START; fd < SD_LISTEN_FDS_START + count; ++fd) {
    // The listeners speak IPv4; a datagram socket must not listen, a stream
    // socket may or may not yet, but it must not be a connection (a unit
    // that accepts for us passes those).
    sockaddr_storage peer{};
    socklen_t peerLength = sizeof peer;
    const bool usable = sd_is_socket_inet(fd, AF_INET, SOCK_DGRAM, 0, 0) > 0 ||
                        (sd_is_socket_inet(fd, AF_INET, SOCK_STREAM, -1, 0) > 0 &&
                         getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &peerLength) != 0);
    if (!usable) {
      LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER",
             "passed descriptor %1 is not a bound IPv4 datagram or listening socket; closed", {std::to_string(fd)});
      close(fd);
      continue;
    }
    fcntl(fd, F_SETFD, FD_CLOEXEC);
    PassSocket(fd);
    ++taken;
  }
  return taken;
}

void WarnUnusedServiceSockets() {
  for (const uint16_t port : PassedSocketPorts())
    LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER",
           "passed socket of port %1 not taken by any listener; kept for a server started on it later",
           {std::to_string(port)});
}
