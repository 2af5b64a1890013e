// How the process tells the outside where it stands, beside server.log:
// one line per event on standard error (the journal of a service keeps
// it), and the readiness and stopping notices of a systemd Type=notify
// service. main() and start-up call these on the main thread.
//
// Without NOTIFY_SOCKET in the environment the notices do nothing.
#pragma once

#include <string>

// "parleon-server: <message>" on standard error, flushed.
void TellOperator(const std::string& message);
// READY=1, once "Server startup finished" is logged.
void NotifyReady();
// STOPPING=1, as the shutdown begins.
void NotifyStopping();
