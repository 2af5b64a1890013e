// Program entry: start-up, then wait for SIGINT or SIGTERM, then the orderly
// shutdown. The signals are blocked before any thread exists, so every
// thread inherits the mask and only the main thread's sigwait sees them.
#include <signal.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/Globals.h"
#include "app/Startup.h"
#include "common/Log.h"

namespace {

void PrintUsage() {
  std::printf(
      "Usage: parleon-server [-INI=file] [-DB=file] [-LOG=file] [-PID=file] [-ADMINPW=password] "
      "[-HTTPDOCS=folder]\n"
      "  -INI=      settings file (default ./server.ini)\n"
      "  -DB=       database file (default ./server.db)\n"
      "  -LOG=      log file (default ./server.log)\n"
      "  -PID=      accepted and ignored\n"
      "  -ADMINPW=  sets the password of the \"admin\" account of every listed server\n"
      "  -HTTPDOCS= web interface template folder (default ./httpdocs)\n"
      "  --help, --version\n"
      "SIGINT or SIGTERM shuts the server down.\n");
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
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

  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  // A peer that closes a TCP connection must not end the process.
  signal(SIGPIPE, SIG_IGN);

  if (!Start_Parleon_Server()) {
    Log(LMTERROR, LMDALL, "frmMain", "critical error, shutdown initiated");
    std::fprintf(stderr, "parleon-server: start-up failed, see %s\n", LogFileName.c_str());
    return 1;
  }
  std::printf("Parleon Server %s running: administration at http://localhost:%d, log in %s\n",
              ServerVersionText().c_str(), HTTPServerPort, LogFileName.c_str());
  std::fflush(stdout);

  int sig = 0;
  while (sigwait(&stopSignals, &sig) != 0) {
  }
  std::printf("Shutting down (signal %d)...\n", sig);
  std::fflush(stdout);
  Stop_Parleon_Server();
  return 0;
}
