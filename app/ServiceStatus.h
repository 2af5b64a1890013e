// How the process tells the outside where it stands, beside server.log:
// one line per event on standard error (the journal of a service keeps
// it), and the readiness, status and stopping notices of a systemd
// Type=notify service. main() and start-up call these on the main thread.
//
// Without NOTIFY_SOCKET in the environment the notices do nothing. When
// standard error is the journal's stream, each line carries the priority
// prefix the journal reads ("<3>" error, "<4>" warning, "<6>" information).
#pragma once

#include <string>
#include <vector>

enum TOperatorPriority { kOperatorError = 3, kOperatorWarning = 4, kOperatorInfo = 6 };

// What start-up brought up, for the status line and the exit decision.
struct TStartReport {
  int Listed = 0;   // virtual servers start-up tried (the default one on a first run)
  int Running = 0;  // of those, the ones that started
  std::vector<std::string> Failures;  // "<id>: <reason>" per server that did not start
  int QueryPort = 0;                   // 0: no query interface
  std::string QueryFault;              // why the query interface is missing, when it should run
  int WebPort = 0;                     // 0: no web interface
  std::string WebFault;                // why the web interface is missing, when it should run
  std::vector<std::string> AdminsMadeAnew;  // servers whose "admin" account a salvage had to make anew
  // Start-up stopped over the settings or the data: a restart would meet
  // the same fault (exit status 78, EX_CONFIG, which the unit does not restart).
  bool ConfigFault = false;

  // "3 of 3 virtual servers running, query 51234, web 14534", each failure
  // named with its reason after it, then each admin account made anew.
  std::string StatusText() const;
};

// "parleon-server: <message>" on standard error, flushed; under the journal
// "<priority>" and the message, its line breaks as " / ".
void TellOperator(const std::string& message, TOperatorPriority priority = kOperatorInfo);
// READY=1 with STATUS=`status`, once "Server startup finished" is logged.
void NotifyReady(const std::string& status);
// STATUS=`status` alone (a start-up that ends without being ready).
void NotifyStatus(const std::string& status);
// STOPPING=1, as the shutdown begins.
void NotifyStopping();
