#include "admin/HttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <thread>

namespace {

using TSteady = std::chrono::steady_clock;

thread_local bool tRefuseConnection = false;
thread_local bool tCloseAfterResponse = false;

constexpr int kPollSliceMs = 100;  // how soon a connection waiting between requests notices Stop()

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
// library's byte-wise line reader costs no system call per byte. It also
// watches what it hands out for the blank line that ends a request's head,
// and fails reads of a head whose deadline has passed.
class TBudgetStream final : public httplib::Stream {
 public:
  TBudgetStream(socket_t sock, time_t ioSec) : sock_(sock), ioMs_(static_cast<int>(ioSec * 1000)) {}

  bool is_readable() const override { return off_ < len_ || PollSocket(sock_, POLLIN, ReadWaitMs()); }
  bool is_writable() const override { return PollSocket(sock_, POLLOUT, ioMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (off_ == len_ && !Fill(ReadWaitMs())) return -1;
    const size_t n = std::min(size, len_ - off_);
    std::memcpy(ptr, buf_ + off_, n);
    off_ += n;
    if (inHead_) WatchHead(ptr, n);
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

  // Waits for the first byte of the next request in slices, so that a
  // stopping server is noticed; false on timeout, stop or a spent budget.
  // The head's deadline runs from that byte.
  bool WaitForRequest(time_t keepAliveSec, const std::atomic<bool>& stopping) {
    bool ready = off_ < len_;
    for (int waited = 0; !ready && waited < keepAliveSec * 1000; waited += kPollSliceMs) {
      if (stopping) return false;
      if (PollSocket(sock_, POLLIN, kPollSliceMs) && !(ready = Fill(0))) return false;
    }
    if (!ready) return false;
    inHead_ = true;
    headLine_ = headLines_ = 0;
    headDeadline_ = TSteady::now() + THttpServer::kHeadDeadline;
    return true;
  }

  // False while the current request's head has not ended; the library then
  // answers 400 and would go on with the same connection.
  bool HeadComplete() const { return !inHead_; }

 private:
  // The read wait, cut to what is left of the head's deadline.
  int ReadWaitMs() const {
    if (!inHead_) return ioMs_;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(headDeadline_ - TSteady::now()).count();
    return static_cast<int>(std::clamp<int64_t>(left, 0, ioMs_));
  }

  void WatchHead(const char* p, size_t n) {
    for (size_t i = 0; i < n && inHead_; ++i) {
      if (p[i] == '\n') {
        // The blank line after at least one line of text ends the head.
        if (headLine_ == 0 && headLines_ > 0) inHead_ = false;
        if (headLine_ > 0) ++headLines_;
        headLine_ = 0;
      } else if (p[i] != '\r') {
        ++headLine_;
      }
    }
  }

  bool Fill(int timeoutMs) {
    if (bytesLeft_ == 0 || linesLeft_ == 0) return false;
    if (inHead_ && TSteady::now() >= headDeadline_) return false;
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
  int ioMs_;
  size_t bytesLeft_ = THttpServer::kConnectionBytes;
  size_t linesLeft_ = THttpServer::kConnectionLines;
  char buf_[4096];
  size_t off_ = 0, len_ = 0;
  bool inHead_ = false;
  size_t headLine_ = 0;   // characters of the head's current line so far
  size_t headLines_ = 0;  // lines of text of the head so far
  TSteady::time_point headDeadline_;
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

THttpServer::THttpServer(THttpTimeouts timeouts) : timeouts_(timeouts) {
  new_task_queue = [this] { return new TConnectionThreads(active_); };
  set_payload_max_length(kMaxBody);
  set_keep_alive_max_count(kKeepAliveRequests);
  set_keep_alive_timeout(timeouts.KeepAliveSec);
  set_read_timeout(timeouts.ReadSec);
  set_write_timeout(timeouts.ReadSec);
  // The library's default options add SO_REUSEPORT, which would let a second
  // process share this port and take some of its connections.
  set_socket_options([this](socket_t sock) {
    const int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    listeningSocket_ = sock;
  });
}

int THttpServer::Bind(const std::string& host, int port) {
  errno = 0;
  const int bound = port == 0 ? bind_to_any_port(host) : (bind_to_port(host, port) ? port : -1);
  if (bound <= 0) {
    bindError_ = errno ? std::strerror(errno) : "cannot bind";
    return -1;
  }
  // The packaged library is built with a listen backlog of 5, and its
  // CPPHTTPLIB_LISTEN_BACKLOG is compiled in, not read from our build: a
  // burst of connections would see their handshakes dropped while the
  // accepting thread catches up. Listening again only widens the queue.
  ::listen(listeningSocket_, SOMAXCONN);
  return bound;
}

void THttpServer::Stop() {
  stopping_ = true;
  stop();
  std::lock_guard<std::mutex> lock(mutex_);
  for (socket_t sock : open_) ::shutdown(sock, SHUT_RDWR);
}

void THttpServer::CloseAfterResponse(httplib::Response& response) {
  response.set_header("Connection", "close");
  tCloseAfterResponse = true;
}

bool THttpServer::Admit(socket_t sock, std::string& address) {
  int port = 0;
  AddressOf(sock, true, address, port);
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || tRefuseConnection) return false;
  size_t& count = perAddress_[address];
  if (count >= kMaxConnectionsPerAddress) return false;
  ++count;
  open_.insert(sock);
  return true;
}

void THttpServer::Release(socket_t sock, const std::string& address) {
  std::lock_guard<std::mutex> lock(mutex_);
  open_.erase(sock);
  if (--perAddress_[address] == 0) perAddress_.erase(address);
}

// The one place that reaches past the library's public settings. Its
// per-connection hook is the only point that sees a connection's socket
// before the request head is read, and the library has neither a limit of
// connections per peer address, nor a deadline for a whole request head
// (its read timeout restarts with every byte), nor a way to cut open
// connections short when it stops. So the hook admits the connection, reads
// it through a TBudgetStream, and runs the library's own request handling
// once per request.
bool THttpServer::process_and_close_socket(socket_t sock) {
  bool ret = false;
  std::string address;
  if (Admit(sock, address)) {
    TBudgetStream strm(sock, timeouts_.ReadSec);
    for (size_t count = kKeepAliveRequests; count > 0; --count) {
      if (!strm.WaitForRequest(timeouts_.KeepAliveSec, stopping_)) break;
      bool closed = false;
      tCloseAfterResponse = false;
      ret = process_request(strm, count == 1, closed, nullptr);
      if (!ret || closed || tCloseAfterResponse || !strm.HeadComplete()) break;
    }
    Release(sock, address);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return ret;
}
