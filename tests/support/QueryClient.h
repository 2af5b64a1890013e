// Test support: a line client of the TCP query on loopback. It reads the
// greeting on connect and collects answers up to their closing line.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

class TQueryClient {
 public:
  // Connects and reads one line (the greeting, or a refusal) into Greeting.
  explicit TQueryClient(uint16_t port, const char* from = "127.0.0.1");
  ~TQueryClient();
  TQueryClient(const TQueryClient&) = delete;
  TQueryClient& operator=(const TQueryClient&) = delete;

  void SendRaw(const std::string& bytes);
  // Sends `line` with CR LF and returns the answer's lines (without CR LF)
  // up to and including the first "OK", "error" or "ERROR, ..." line.
  std::vector<std::string> Command(const std::string& line);
  // The next line, as received (with its CR LF); empty on close or after
  // `timeoutMs` of silence.
  std::string ReadRawLine(int timeoutMs = 5000);
  // True when the server closed the connection within `timeoutMs`; what
  // arrived before the close stays in Unread().
  bool ClosedWithin(int timeoutMs);
  const std::string& Unread() const { return pending_; }

  std::string Greeting;

 private:
  int fd_ = -1;
  std::string pending_;
};
