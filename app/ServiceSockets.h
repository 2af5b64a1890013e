// Sockets from the service manager: a socket unit (or a test that starts
// the executable) binds the ports and passes them on (LISTEN_FDS and
// LISTEN_PID in the environment). Start-up puts every passed IPv4 socket
// into the pool of common/PassedSockets.h before anything binds, so that a
// virtual server, the query and the web interface whose port matches take
// it instead of binding their own; other passed descriptors are closed.
// After start-up, what no listener took is named in the log and kept for a
// server started or added later on its port.
//
// Main thread, during start-up only.
#pragma once

// Takes over the passed sockets and clears the two variables, so that a
// program this one starts does not take them for its own. The count taken.
int AdoptServiceSockets();
// A warning per passed socket no listener took.
void WarnUnusedServiceSockets();
