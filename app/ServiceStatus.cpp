#include "app/ServiceStatus.h"

#include <systemd/sd-daemon.h>

#include <cstdio>

void TellOperator(const std::string& message) {
  std::fprintf(stderr, "parleon-server: %s\n", message.c_str());
  std::fflush(stderr);
}

void NotifyReady() { sd_notify(0, "READY=1"); }

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }
