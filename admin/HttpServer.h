// THttpServer: the network side of the web interface, an httplib::Server
// with the bounds an open port needs. TWebInterface owns one and registers
// its handlers on it.
//
// - One thread per connection, at most kMaxConnections at a time and at
//   most kMaxConnectionsPerAddress from one peer address (a trusted proxy's
//   are not counted so); a connection beyond the latter is closed at once.
// - Each request, head and body, must arrive within kRequestDeadline of its
//   first byte, however slowly it trickles in; over TLS the handshake too.
// - When every slot is taken, a new connection still gets in: the oldest
//   connection that has not carried a logged-in request (MarkOperator) is
//   closed to make room, so strangers cannot lock an operator out.
// - With a certificate (LoadTls), the port speaks TLS 1.2 or later only;
//   a later LoadTls replaces the pair for new connections, open ones keep
//   theirs. Responses then carry Strict-Transport-Security.
// - Each request goes through THttpForwarding (SetForwarding) once its head
//   is read: remote_addr is then the client's address.
// - Each connection is read through a budget: at most kConnectionBytes and
//   kConnectionLines in all, then the connection ends. Bodies are cut off at
//   kMaxBody.
// - A handler may ask for its connection to close after the response
//   (CloseAfterResponse); keep-alive otherwise, up to kKeepAliveRequests.
// - The listening socket is exclusive to this process: a second process on
//   the same port fails to bind (BindError tells why).
// - A listening socket passed to the process (common/PassedSockets.h) is
//   never shut: Stop ends the accept loop without it, so that the service
//   manager can hand it to the next start.
//
// Lifetime: Stop() ends the accept loop and closes every connection, even
// one in the middle of a request; the loop then waits until every
// connection thread has finished, so handlers never outlive the server
// object's owner when it joins the listening thread before going.
// Thread-safety: as httplib::Server; CloseAfterResponse and MarkOperator
// concern the calling thread's connection only. LoadTls may run on any
// thread at any time; SetForwarding before Bind.
#pragma once

#include <httplib.h>
#include <openssl/ssl.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "admin/HttpForwarding.h"

struct THttpTimeouts {
  time_t ReadSec = 5;       // one read or write that makes no progress
  time_t KeepAliveSec = 5;  // between two requests on one connection
};

class THttpServer : public httplib::Server {
 public:
  static constexpr size_t kMaxConnections = 250;
  static constexpr size_t kMaxConnectionsPerAddress = 16;
  static constexpr std::chrono::seconds kRequestDeadline{10};
  // Connections beyond kMaxConnections that may wait for an evicted one's
  // thread to end; past them a connection is closed at once.
  static constexpr size_t kSpareConnections = 16;
  static constexpr size_t kConnectionBytes = 256 * 1024;
  static constexpr size_t kConnectionLines = 1024;
  static constexpr size_t kMaxBody = 64 * 1024;
  static constexpr size_t kKeepAliveRequests = 20;

  explicit THttpServer(THttpTimeouts timeouts = {});
  ~THttpServer() override;

  // Binds host:port (0: a port the system picks), or takes the socket passed
  // to the process for the port (common/PassedSockets.h); the bound port, or
  // -1 with BindError() holding the system's reason.
  int Bind(const std::string& host, int port);
  const std::string& BindError() const { return bindError_; }
  // The accept loop (the library's listen_after_bind) until Stop, on the
  // caller's thread; false when accepting failed for good.
  bool ListenAfterBind();
  // Ends the accept loop and cuts every open connection short.
  void Stop();
  // From inside a handler: close the connection once the response is out.
  static void CloseAfterResponse(httplib::Response& response);
  // From inside a handler: this connection carried a logged-in request and
  // is not closed to make room for others.
  static void MarkOperator();
  // Reads a PEM certificate (chain) and key; false with `fault` naming the
  // file and the reason, and the pair in use (if any) stays.
  bool LoadTls(const std::string& certificateFile, const std::string& keyFile, std::string& fault);
  bool Tls() const;
  void SetForwarding(THttpForwarding forwarding) { forwarding_ = std::move(forwarding); }
  size_t ActiveConnections() const { return active_.load(); }

  struct TConnection;  // one admitted connection (HttpServer.cpp)

 private:
  class TConnectionThreads;
  bool process_and_close_socket(socket_t sock) override;
  void EndAcceptLoop();
  bool Admit(TConnection& connection);
  void Release(const TConnection& connection);
  void Serve(TConnection& connection, SSL* ssl);

  THttpTimeouts timeouts_;
  std::atomic<size_t> active_{0};
  std::atomic<bool> stopping_{false};
  std::string bindError_;
  int listeningSocket_ = -1;
  // The listening socket came from the pool of passed sockets: never shut,
  // closed here unless the library closed it (ListenAfterBind).
  std::atomic<int> passed_{-1};
  int wake_ = -1;    // the connection that ends the accept loop on a passed socket
  THttpForwarding forwarding_;
  mutable std::mutex mutex_;  // guards the four below
  std::map<std::string, size_t> perAddress_;
  std::map<uint64_t, TConnection*> open_;  // by admission order: the oldest first
  uint64_t admitted_ = 0;
  std::shared_ptr<SSL_CTX> tls_;
};
