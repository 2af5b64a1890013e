// THttpServer: the network side of the web interface, an httplib::Server
// with the bounds an open port needs. TWebInterface owns one and registers
// its handlers on it.
//
// - One thread per connection, at most kMaxConnections at a time and at
//   most kMaxConnectionsPerAddress from one peer address; a connection
//   beyond either is closed at once.
// - The head of each request (request line and headers) must arrive within
//   kHeadDeadline of its first byte, however slowly it trickles in.
// - Each connection is read through a budget: at most kConnectionBytes and
//   kConnectionLines in all, then the connection ends. Bodies are cut off at
//   kMaxBody.
// - A handler may ask for its connection to close after the response
//   (CloseAfterResponse); keep-alive otherwise, up to kKeepAliveRequests.
// - The listening socket is exclusive to this process: a second process on
//   the same port fails to bind (BindError tells why).
//
// Lifetime: Stop() ends the accept loop and closes every connection, even
// one in the middle of a request; the loop then waits until every
// connection thread has finished, so handlers never outlive the server
// object's owner when it joins the listening thread before going.
// Thread-safety: as httplib::Server; CloseAfterResponse concerns the
// calling thread's connection only.
#pragma once

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <mutex>
#include <set>
#include <string>

struct THttpTimeouts {
  time_t ReadSec = 5;       // one read or write that makes no progress
  time_t KeepAliveSec = 5;  // between two requests on one connection
};

class THttpServer : public httplib::Server {
 public:
  static constexpr size_t kMaxConnections = 250;
  static constexpr size_t kMaxConnectionsPerAddress = 16;
  static constexpr std::chrono::seconds kHeadDeadline{10};
  static constexpr size_t kConnectionBytes = 256 * 1024;
  static constexpr size_t kConnectionLines = 1024;
  static constexpr size_t kMaxBody = 64 * 1024;
  static constexpr size_t kKeepAliveRequests = 20;

  explicit THttpServer(THttpTimeouts timeouts = {});

  // Binds host:port (0: a port the system picks); the bound port, or -1 with
  // BindError() holding the system's reason.
  int Bind(const std::string& host, int port);
  const std::string& BindError() const { return bindError_; }
  // Ends the accept loop and cuts every open connection short.
  void Stop();
  // From inside a handler: close the connection once the response is out.
  static void CloseAfterResponse(httplib::Response& response);
  size_t ActiveConnections() const { return active_.load(); }

 private:
  class TConnectionThreads;
  bool process_and_close_socket(socket_t sock) override;
  bool Admit(socket_t sock, std::string& address);
  void Release(socket_t sock, const std::string& address);

  THttpTimeouts timeouts_;
  std::atomic<size_t> active_{0};
  std::atomic<bool> stopping_{false};
  std::string bindError_;
  int listeningSocket_ = -1;
  std::mutex mutex_;  // guards the two below
  std::map<std::string, size_t> perAddress_;
  std::set<socket_t> open_;
};
