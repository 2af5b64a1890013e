#include "support/QueryClient.h"

#include "support/HeldPort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

TQueryClient::TQueryClient(uint16_t port, const char* from) {
  fd_ = ConnectLoopback(port, from);
  if (fd_ < 0) throw std::runtime_error("query connect failed");
  Greeting = ReadRawLine();
}

TQueryClient::~TQueryClient() {
  if (fd_ >= 0) close(fd_);
}

void TQueryClient::SendRaw(const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) throw std::runtime_error("query send failed");
    done += static_cast<size_t>(n);
  }
}

std::string TQueryClient::ReadRawLine(int timeoutMs) {
  for (;;) {
    const size_t end = pending_.find("\r\n");
    if (end != std::string::npos) {
      std::string line = pending_.substr(0, end + 2);
      pending_.erase(0, end + 2);
      return line;
    }
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return "";
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return "";
    pending_.append(buf, static_cast<size_t>(n));
  }
}

std::vector<std::string> TQueryClient::Command(const std::string& line) {
  SendRaw(line + "\r\n");
  std::vector<std::string> answer;
  for (;;) {
    std::string raw = ReadRawLine();
    if (raw.empty()) {
      answer.push_back("<no answer>");
      return answer;
    }
    raw.resize(raw.size() - 2);
    answer.push_back(raw);
    if (raw == "OK" || raw == "error" || raw.rfind("ERROR, ", 0) == 0) return answer;
  }
}

bool TQueryClient::ClosedWithin(int timeoutMs) {
  for (;;) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buf[4096];
    const ssize_t n = recv(fd_, buf, sizeof buf, 0);
    if (n <= 0) return true;
    pending_.append(buf, static_cast<size_t>(n));
  }
}
