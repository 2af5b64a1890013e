// Program entry: start-up, then wait for SIGINT or SIGTERM, then the orderly
// shutdown. Meanwhile SIGHUP reopens the log and reads the web port's TLS
// certificate again, and SIGUSR1 looks the server's addresses up. The signals are blocked before any thread exists, so every
// thread inherits the mask and only the main thread's sigwait sees them.
#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <vector>

#include "admin/WebInterface.h"
#include "announce/AddressLookup.h"
#include "app/Globals.h"
#include "app/PidFile.h"
#include "app/ServiceStatus.h"
#include "app/Startup.h"
#include "common/Log.h"

namespace {

void PrintUsage() {
  std::printf(
      "Usage: parleon-server [-INI=file] [-DB=file] [-LOG=file] [-PID=file] [-ADMINPW=password] "
      "[-HTTPDOCS=folder] [-REPAIR]\n"
      "  -INI=      settings file (default ./server.ini)\n"
      "  -DB=       database file (default ./server.db)\n"
      "  -LOG=      log file (default ./server.log)\n"
      "  -PID=      writes the process id to this file, removed at exit\n"
      "  -ADMINPW=  sets the password of the \"admin\" account of every listed server\n"
      "             (or PARLEON_ADMINPW in the environment; the option wins)\n"
      "  -HTTPDOCS= web interface template folder (default ./httpdocs)\n"
      "  -REPAIR    a database file that does not load is renamed to\n"
      "             <file>.damaged-<UTC time> and the server goes on with the\n"
      "             last good copy <file>.bak, or else with what could be read\n"
      "             from it (without it start-up stops)\n"
      "  --help (or -h, -help, -?), --version\n"
      "Any other option is named in a warning and ignored.\n"
      "SIGINT or SIGTERM shuts the server down, SIGHUP reopens the log file and\n"
      "reads the web port's TLS certificate again,\n"
      "SIGUSR1 looks the server's addresses up again.\n"
      "Exit status 78: the settings, the database or its folder are at fault\n"
      "(a restart cannot help); 1: another start-up failure (the state folder\n"
      "in use, the process id file), or no virtual server could start.\n");
}

// Serves SIGHUP and SIGUSR1 until a stop signal comes, and returns it. The
// first address lookup runs when the three seconds of the splash time are
// over, as if the splash had ended.
int WaitForStopSignal(const sigset_t& signals, TAddressLookup& lookup) {
  constexpr auto kSplashTime = std::chrono::seconds(3);
  const auto splashEnd = std::chrono::steady_clock::now() + kSplashTime;
  bool splashOver = false;
  for (;;) {
    int sig = 0;
    if (!splashOver) {
      const auto left = std::max(splashEnd - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration{});
      const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
      sig = sigtimedwait(&signals, nullptr, &wait);
      if (sig < 0) {
        if (errno == EAGAIN) {
          splashOver = true;
          lookup.UpdateIPs();
        }
        continue;
      }
    } else if (sigwait(&signals, &sig) != 0) {
      continue;
    }
    if (sig == SIGHUP) {
      ReopenLog();
      // A renewed certificate takes effect without a restart.
      if (TWebInterface* web = WebInterface.load()) web->ReloadTls();
    } else if (sig == SIGUSR1) {
      lookup.UpdateIPs();  // ignored while a lookup runs
    } else {
      return sig;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (IsHelpOption(argv[i])) {
      PrintUsage();
      return 0;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("parleon-server %s\n", ServerVersionText().c_str());
      return 0;
    }
    args.emplace_back(argv[i]);
  }
  ProcessArguments = args;

  // SIGHUP reopens server.log (log rotation), SIGUSR1 looks the addresses
  // up again; the others stop the server.
  sigset_t signals;
  sigemptyset(&signals);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGUSR1}) sigaddset(&signals, sig);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  // A peer that closes a TCP connection must not end the process.
  signal(SIGPIPE, SIG_IGN);

  // 78 is EX_CONFIG: the unit's RestartPreventExitStatus keeps systemd
  // from starting over a fault that only the operator can mend.
  constexpr int kExitConfig = 78;
  TStartReport report;
  if (!Start_Parleon_Server(&report)) {
    Log(LMTERROR, LMDALL, "frmMain", "critical error, shutdown initiated");
    TellOperator("start-up failed, see " + LogFileName, kOperatorError);
    NotifyStatus("start-up failed, see " + LogFileName);
    RemovePidFile(PidFileName);
    return report.ConfigFault ? kExitConfig : 1;
  }
  const std::string status = report.StatusText();
  // A process that serves no voice is not up, however many ports it holds.
  if (report.Running == 0) {
    Log(LMTERROR, LMDALL, "frmMain", "no virtual server is running, shutdown initiated");
    TellOperator(status, kOperatorError);
    NotifyStatus(status);
    TellOperator("Server shutdown initialized (no virtual server running)");
    NotifyStopping();
    Stop_Parleon_Server();
    TellOperator("Server shutdown finished");
    return 1;
  }
  // The address only of a web interface that runs.
  const TWebInterface* web = WebInterface.load();
  if (report.WebPort > 0)
    std::printf("Parleon Server %s running: administration at %s://localhost:%d, log in %s\n",
                ServerVersionText().c_str(), web && web->Tls() ? "https" : "http", report.WebPort,
                LogFileName.c_str());
  else
    std::printf("Parleon Server %s running without web administration (%s), log in %s\n",
                ServerVersionText().c_str(), report.WebFault.empty() ? "disabled" : report.WebFault.c_str(),
                LogFileName.c_str());
  std::fflush(stdout);
  TellOperator("Server startup finished, version " + ServerVersionText() + " " + PlatformName);
  TellOperator(status, report.Failures.empty() && report.WebFault.empty() && report.QueryFault.empty() &&
                               report.AdminsMadeAnew.empty()
                           ? kOperatorInfo
                           : kOperatorWarning);
  NotifyReady(status);

  auto lookup = std::make_unique<TAddressLookup>(AddressLookupOptions());
  const int sig = WaitForStopSignal(signals, *lookup);
  TellOperator("Server shutdown initialized (signal " + std::to_string(sig) + ")");
  NotifyStopping();
  lookup.reset();  // aborts a lookup still running
  Stop_Parleon_Server();
  TellOperator("Server shutdown finished");
  return 0;
}
