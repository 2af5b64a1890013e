#include "app/ServiceStatus.h"

#include <systemd/sd-daemon.h>

#include <cstdio>

#include "common/Log.h"

std::string TStartReport::StatusText() const {
  std::string text = std::to_string(Running) + " of " + std::to_string(Listed) + " virtual servers running";
  text += QueryPort > 0 ? ", query " + std::to_string(QueryPort)
                        : QueryFault.empty() ? ", no query" : ", query failed (" + QueryFault + ")";
  text += WebPort > 0 ? ", web " + std::to_string(WebPort) : WebFault.empty() ? ", no web" : ", web failed (" + WebFault + ")";
  for (const std::string& failure : Failures) text += "; failed: " + failure;
  for (const std::string& id : AdminsMadeAnew)
    text += "; admin account of " + id + " made anew (its password is in the log)";
  return text;
}

void TellOperator(const std::string& message, TOperatorPriority priority) {
  // Decided per call: the environment is fixed, and this runs a handful of times.
  if (StderrIsJournal()) {
    WriteJournalLine(priority, message);
    return;
  }
  std::fprintf(stderr, "parleon-server: %s\n", message.c_str());
  std::fflush(stderr);
}

void NotifyReady(const std::string& status) { sd_notify(0, ("READY=1\nSTATUS=" + LogSafeText(status)).c_str()); }

void NotifyStatus(const std::string& status) { sd_notify(0, ("STATUS=" + LogSafeText(status)).c_str()); }

void NotifyStopping() { sd_notify(0, "STOPPING=1"); }
