// THttpServer: the network side of the web interface, an httplib::Server
// with the bounds an open port needs. TWebInterface owns one and registers
// its handlers on it.
//
// - One thread per connection, at most kMaxConnections at a time; a
//   connection beyond that is closed at once, on the accepting thread.
// - Each connection is read through a budget: at most kConnectionBytes and
//   kConnectionLines in all (headers are not otherwise bounded by the
//   library), then the connection ends. Bodies are cut off at kMaxBody.
// - A handler may ask for its connection to close after the response
//   (CloseAfterResponse); keep-alive otherwise, up to kKeepAliveRequests.
//
// Lifetime: stop() ends the accept loop; the loop then waits until every
// connection thread has finished, so handlers never outlive the server
// object's owner when it joins the listening thread before going.
// Thread-safety: as httplib::Server; CloseAfterResponse concerns the
// calling thread's connection only.
#pragma once

#include <httplib.h>

#include <atomic>
#include <cstddef>

class THttpServer : public httplib::Server {
 public:
  static constexpr size_t kMaxConnections = 250;
  static constexpr size_t kConnectionBytes = 256 * 1024;
  static constexpr size_t kConnectionLines = 1024;
  static constexpr size_t kMaxBody = 64 * 1024;
  static constexpr size_t kKeepAliveRequests = 20;

  THttpServer();

  // Lets the kernel queue a burst of connections while the accepting
  // thread catches up (the library listens with a tiny backlog). Call after bind.
  void WidenBacklog();
  // From inside a handler: close the connection once the response is out.
  static void CloseAfterResponse(httplib::Response& response);
  size_t ActiveConnections() const { return active_.load(); }

 private:
  class TConnectionThreads;
  bool process_and_close_socket(socket_t sock) override;

  std::atomic<size_t> active_{0};
};
