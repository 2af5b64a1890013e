// Passed sockets: sockets this process was handed already bound, by the
// service manager at start (a socket unit: LISTEN_FDS, see app/ServiceSockets.h)
// or by a test that holds its ports. A listener about to bind a port of its
// own (a virtual server's UDP socket, the query, the web interface) first
// takes the passed socket of the same type, port and address and uses that,
// so the port is never free between its holder and its user. The address
// must match as configured: a socket bound to every address never serves a
// listener meant for loopback only.
//
// The pool owns the descriptors it holds; TakePassedSocket hands one over.
// A virtual server's UDP socket gives its passed socket back when it stops,
// so that a restart takes it again (the port stays the process's, as the
// service manager keeps it anyway). What no listener took at start-up stays
// too, for a server started or added later on its port: closing it would
// free nothing while the service manager holds its own copy.
// Thread-safety: any thread; one mutex guards the pool, a leaf taken under
// any other lock and never around one.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

// Puts a bound IPv4 socket into the pool, which owns it from here on; any
// other socket is closed.
void PassSocket(int fd);
// The passed socket of `type` (SOCK_DGRAM, SOCK_STREAM) bound to `port` and
// to `address` (IPv4 text; empty or "0.0.0.0": every address), now the
// caller's; -1 when none was passed (and for port 0).
int TakePassedSocket(int type, uint16_t port, std::string_view address);
// The ports of the sockets in the pool.
std::vector<uint16_t> PassedSocketPorts();
// Closes every socket still in the pool (tests, between cases); the ports
// they were bound to.
std::vector<uint16_t> ClosePassedSockets();
