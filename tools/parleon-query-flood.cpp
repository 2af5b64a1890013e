// parleon-query-flood: a bounded flood of query commands. C connections to
// the TCP query each send one command line ("pl <port>" by default) again
// and again for D seconds, keeping P lines in flight, and count the
// answers. Run it next to parleon-bot to see what a query flood costs the
// voice relay. It prints the answers per second and the answer lines read.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct TOptions {
  std::string Host = "127.0.0.1";
  int Port = 51234;
  std::string Command = "pl 8767";
  int Connections = 4;
  int Pipeline = 8;
  double Duration = 10;
  std::string Login;  // "name password": log in first
};

struct TCounts {
  std::atomic<uint64_t> Answers{0};
  std::atomic<uint64_t> Lines{0};
  std::atomic<uint64_t> Errors{0};
};

bool SendAll(int fd, const std::string& text) {
  size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// Reads until `answers` answers ended ("OK", "error" or "ERROR, ..."),
// counting every line; false when the connection ended.
bool ReadAnswers(int fd, std::string& pending, int answers, TCounts& counts) {
  char buf[65536];
  size_t start = 0;  // consumed so far: erased once per read, not per line
  while (answers > 0) {
    size_t end;
    while (answers > 0 && (end = pending.find("\r\n", start)) != std::string::npos) {
      const std::string_view line(pending.data() + start, end - start);
      start = end + 2;
      counts.Lines++;
      if (line == "OK" || line == "error" || line.substr(0, 7) == "ERROR, ") {
        if (line != "OK") counts.Errors++;
        counts.Answers++;
        --answers;
      }
    }
    pending.erase(0, start);
    start = 0;
    if (answers == 0) break;
    const ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) return false;
    pending.append(buf, static_cast<size_t>(n));
  }
  return true;
}

void Flood(const TOptions& o, Clock::time_point end, TCounts& counts) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_port = htons(static_cast<uint16_t>(o.Port));
  if (fd < 0 || inet_pton(AF_INET, o.Host.c_str(), &to.sin_addr) != 1 ||
      connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::fprintf(stderr, "connect to %s:%d failed\n", o.Host.c_str(), o.Port);
    if (fd >= 0) close(fd);
    return;
  }
  std::string pending;
  char greeting[64];
  if (recv(fd, greeting, sizeof greeting, 0) <= 0) return (void)close(fd);
  if (!o.Login.empty() && (!SendAll(fd, "login " + o.Login + "\r\n") || !ReadAnswers(fd, pending, 1, counts)))
    return (void)close(fd);
  std::string batch;
  for (int i = 0; i < o.Pipeline; ++i) batch += o.Command + "\r\n";
  while (Clock::now() < end)
    if (!SendAll(fd, batch) || !ReadAnswers(fd, pending, o.Pipeline, counts)) break;
  close(fd);
}

void Usage(const char* self) {
  std::fprintf(stderr,
               "usage: %s [options]\n"
               "  --host A --port N       query port (127.0.0.1:51234)\n"
               "  --command \"LINE\"        the line to repeat (\"pl 8767\")\n"
               "  --connections C         connections flooding at once (4)\n"
               "  --pipeline P            lines in flight per connection (8)\n"
               "  --duration D            seconds (10)\n"
               "  --login \"NAME PW\"       log in first\n",
               self);
}

}  // namespace

int main(int argc, char** argv) {
  TOptions o;
  // Options come in pairs: a name and its value.
  for (int i = 1; i < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = i + 1 < argc ? argv[i + 1] : nullptr;
    if (a == "--help" || !v) {
      Usage(argv[0]);
      return a == "--help" ? 0 : 2;
    }
    if (a == "--host") o.Host = v;
    else if (a == "--port") o.Port = std::atoi(v);
    else if (a == "--command") o.Command = v;
    else if (a == "--connections") o.Connections = std::max(1, std::atoi(v));
    else if (a == "--pipeline") o.Pipeline = std::max(1, std::atoi(v));
    else if (a == "--duration") o.Duration = std::min(std::atof(v), 600.0);
    else if (a == "--login") o.Login = v;
    else {
      Usage(argv[0]);
      return 2;
    }
  }
  TCounts counts;
  const auto start = Clock::now();
  const auto end = start + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(o.Duration));
  std::vector<std::thread> threads;
  for (int i = 0; i < o.Connections; ++i) threads.emplace_back([&] { Flood(o, end, counts); });
  for (std::thread& t : threads) t.join();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  std::printf("connections %d, %.1f s: answers %llu (%.0f/s), errors %llu, lines %llu\n", o.Connections, seconds,
              static_cast<unsigned long long>(counts.Answers.load()), counts.Answers.load() / seconds,
              static_cast<unsigned long long>(counts.Errors.load()),
              static_cast<unsigned long long>(counts.Lines.load()));
  return 0;
}
