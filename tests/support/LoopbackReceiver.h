// Test support: an HTTP receiver on 127.0.0.1 (a port the system picks)
// that records every request and answers from a table of paths; a path
// can be made to hang until the test releases it or the receiver goes.
// Header-only so that only the tests that use it compile the HTTP library.
#pragma once

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "support/HeldPort.h"

class TLoopbackReceiver {
 public:
  struct TRequest {
    std::string Method, Path, Body, ContentType;
  };

  TLoopbackReceiver() {
    auto handler = [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); };
    server_.Get(".*", handler);
    server_.Post(".*", handler);
    port_ = server_.bind_to_any_port("127.0.0.1");
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    // Bound sockets already queue connections; stop() needs the loop running.
    while (!server_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  ~TLoopbackReceiver() {
    Release();
    server_.stop();
    thread_.join();
  }
  TLoopbackReceiver(const TLoopbackReceiver&) = delete;
  TLoopbackReceiver& operator=(const TLoopbackReceiver&) = delete;

  std::string Url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  // `path` answers `body` with `status`; a path not set answers "OK".
  void Answer(const std::string& path, const std::string& body, int status = 200) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers_[path] = {status, body};
  }
  void Hang(const std::string& path) {
    std::lock_guard<std::mutex> lock(mutex_);
    hanging_.insert(path);
  }
  void Release() {
    std::lock_guard<std::mutex> lock(mutex_);
    hanging_.clear();
    changed_.notify_all();
  }
  std::vector<TRequest> Requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  bool WaitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return requests_.size() >= count; });
  }

 private:
  void Handle(const httplib::Request& req, httplib::Response& res) {
    std::unique_lock<std::mutex> lock(mutex_);
    requests_.push_back({req.method, req.path, req.body, req.get_header_value("Content-Type")});
    changed_.notify_all();
    // A hanging answer still ends after a while, so a faulty test cannot
    // keep the receiver from stopping.
    changed_.wait_for(lock, std::chrono::seconds(20), [&] { return !hanging_.count(req.path); });
    const auto it = answers_.find(req.path);
    if (it == answers_.end()) {
      res.set_content("OK", "text/plain");
    } else {
      res.status = it->second.first;
      res.set_content(it->second.second, "text/html");
    }
  }

  httplib::Server server_;
  int port_ = 0;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  std::map<std::string, std::pair<int, std::string>> answers_;
  std::set<std::string> hanging_;
  std::vector<TRequest> requests_;
};

// An address on loopback where nothing listens: a connection is refused.
// The port is held, never listening, while the test process runs, so that
// no other test can take it up meanwhile.
inline std::string ClosedLoopbackUrl(const std::string& path = "/") {
  static const THeldPort refusing(SOCK_STREAM);
  return "http://127.0.0.1:" + std::to_string(refusing.Port()) + path;
}
