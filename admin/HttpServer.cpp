#include "admin/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

namespace {

thread_local bool tRefuseConnection = false;
thread_local bool tCloseAfterResponse = false;

constexpr int kPollSliceMs = 100;  // how soon a waiting connection notices stop()

bool PollSocket(socket_t sock, short events, int timeoutMs) {
  pollfd p{sock, events, 0};
  int r;
  do r = ::poll(&p, 1, timeoutMs);
  while (r < 0 && errno == EINTR);
  return r > 0;
}

void AddressOf(socket_t sock, bool peer, std::string& ip, int& port) {
  sockaddr_storage addr{};
  socklen_t len = sizeof addr;
  const int r = peer ? getpeername(sock, reinterpret_cast<sockaddr*>(&addr), &len)
                     : getsockname(sock, reinterpret_cast<sockaddr*>(&addr), &len);
  if (r != 0) return;
  char text[INET6_ADDRSTRLEN] = {};
  if (addr.ss_family == AF_INET) {
    const auto* a = reinterpret_cast<const sockaddr_in*>(&addr);
    inet_ntop(AF_INET, &a->sin_addr, text, sizeof text);
    port = ntohs(a->sin_port);
  } else if (addr.ss_family == AF_INET6) {
    const auto* a = reinterpret_cast<const sockaddr_in6*>(&addr);
    inet_ntop(AF_INET6, &a->sin6_addr, text, sizeof text);
    port = ntohs(a->sin6_port);
  }
  ip = text;
}

// A socket read through a budget of bytes and lines, buffered so the
// library's byte-wise line reader costs no system call per byte.
class TBudgetStream final : public httplib::Stream {
 public:
  TBudgetStream(socket_t sock, time_t readSec, time_t writeSec)
      : sock_(sock), readMs_(static_cast<int>(readSec * 1000)), writeMs_(static_cast<int>(writeSec * 1000)) {}

  bool is_readable() const override { return off_ < len_ || PollSocket(sock_, POLLIN, readMs_); }
  bool is_writable() const override { return PollSocket(sock_, POLLOUT, writeMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (off_ == len_ && !Fill(readMs_)) return -1;
    const size_t n = std::min(size, len_ - off_);
    std::memcpy(ptr, buf_ + off_, n);
    off_ += n;
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    ssize_t n;
    do n = ::send(sock_, ptr, size, MSG_NOSIGNAL);
    while (n < 0 && errno == EINTR);
    return n;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override { AddressOf(sock_, true, ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { AddressOf(sock_, false, ip, port); }
  socket_t socket() const override { return sock_; }

  // Waits for the next request in slices, so that a stopping server is
  // noticed; false on timeout, stop or a spent budget.
  bool WaitForRequest(time_t keepAliveSec, const std::atomic<socket_t>& listening) {
    if (off_ < len_) return true;
    for (int waited = 0; waited < keepAliveSec * 1000; waited += kPollSliceMs) {
      if (listening == INVALID_SOCKET) return false;
      if (PollSocket(sock_, POLLIN, kPollSliceMs)) return Fill(0);
    }
    return false;
  }

 private:
  bool Fill(int timeoutMs) {
    if (bytesLeft_ == 0 || linesLeft_ == 0) return false;
    if (timeoutMs > 0 && !PollSocket(sock_, POLLIN, timeoutMs)) return false;
    ssize_t n;
    do n = ::recv(sock_, buf_, std::min(sizeof buf_, bytesLeft_), 0);
    while (n < 0 && errno == EINTR);
    if (n <= 0) return false;
    const auto got = static_cast<size_t>(n);
    bytesLeft_ -= got;
    const auto lines = static_cast<size_t>(std::count(buf_, buf_ + got, '\n'));
    linesLeft_ -= std::min(lines, linesLeft_);
    off_ = 0;
    len_ = got;
    return true;
  }

  socket_t sock_;
  int readMs_, writeMs_;
  size_t bytesLeft_ = THttpServer::kConnectionBytes;
  size_t linesLeft_ = THttpServer::kConnectionLines;
  char buf_[4096];
  size_t off_ = 0, len_ = 0;
};

}  // namespace

// One detached thread per connection; shutdown() waits until all are done.
class THttpServer::TConnectionThreads final : public httplib::TaskQueue {
 public:
  explicit TConnectionThreads(std::atomic<size_t>& active) : active_(active) {}

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (active_ < kMaxConnections) {
        ++active_;
        std::thread([this, fn = std::move(fn)]() mutable {
          fn();
          fn = nullptr;
          std::lock_guard<std::mutex> done(mutex_);
          --active_;
          idle_.notify_all();
        }).detach();
        return;
      }
    }
    // Full: the connection is closed at once on this thread.
    tRefuseConnection = true;
    fn();
    tRefuseConnection = false;
  }

  void shutdown() override {
    std::unique_lock<std::mutex> lock(mutex_);
    idle_.wait(lock, [this] { return active_ == 0; });
  }

 private:
  std::atomic<size_t>& active_;
  std::mutex mutex_;
  std::condition_variable idle_;
};

THttpServer::THttpServer() {
  new_task_queue = [this] { return new TConnectionThreads(active_); };
  set_payload_max_length(kMaxBody);
  set_keep_alive_max_count(kKeepAliveRequests);
}

// Listening again on a listening socket only changes its backlog.
void THttpServer::WidenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

void THttpServer::CloseAfterResponse(httplib::Response& response) {
  response.set_header("Connection", "close");
  tCloseAfterResponse = true;
}

bool THttpServer::process_and_close_socket(socket_t sock) {
  bool ret = false;
  if (!tRefuseConnection) {
    TBudgetStream strm(sock, read_timeout_sec_, write_timeout_sec_);
    for (size_t count = keep_alive_max_count_; count > 0; --count) {
      if (!strm.WaitForRequest(keep_alive_timeout_sec_, svr_sock_)) break;
      bool closed = false;
      tCloseAfterResponse = false;
      ret = process_request(strm, count == 1, closed, nullptr);
      if (!ret || closed || tCloseAfterResponse) break;
    }
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ret;
}
