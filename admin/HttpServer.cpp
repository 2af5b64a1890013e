#include "admin/HttpServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/err.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <thread>

#include "common/PassedSockets.h"

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
// library's byte-wise line reader costs no system call per byte, and over
// TLS when given an SSL object (the socket is then non-blocking, and every
// wait is a poll of its own). It also watches what it hands out for the
// blank line that ends a request's head, and fails reads of a request
// whose deadline has passed.
class TBudgetStream final : public httplib::Stream {
 public:
  TBudgetStream(socket_t sock, SSL* ssl, time_t ioSec)
      : sock_(sock), ssl_(ssl), ioMs_(static_cast<int>(ioSec * 1000)) {}

  bool is_readable() const override { return Buffered() || PollSocket(sock_, POLLIN, ReadWaitMs()); }
  bool is_writable() const override { return PollSocket(sock_, POLLOUT, ioMs_); }

  ssize_t read(char* ptr, size_t size) override {
    if (off_ == len_ && !Fill(ReadWaitMs())) {
      readFailed_ = true;
      return -1;
    }
    const size_t n = std::min(size, len_ - off_);
    std::memcpy(ptr, buf_ + off_, n);
    off_ += n;
    if (inHead_) WatchHead(ptr, n);
    return static_cast<ssize_t>(n);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (ssl_) return TlsWrite(ptr, size);
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
  // The request's deadline runs from that byte.
  bool WaitForRequest(time_t keepAliveSec, const std::atomic<bool>& stopping) {
    bool ready = Buffered();
    for (int waited = 0; !ready && waited < keepAliveSec * 1000; waited += kPollSliceMs) {
      if (stopping) return false;
      ready = PollSocket(sock_, POLLIN, kPollSliceMs);
    }
    if (!ready) return false;
    inRequest_ = inHead_ = true;
    readFailed_ = false;
    headLine_ = headLines_ = 0;
    deadline_ = TSteady::now() + THttpServer::kRequestDeadline;
    return off_ < len_ || Fill(ReadWaitMs());
  }

  // False while the current request's head has not ended, or after a read
  // of it failed (its deadline, say); the library then answers 400 and
  // would go on with the same connection.
  bool RequestComplete() const { return !inHead_ && !readFailed_; }

 private:
  bool Buffered() const { return off_ < len_ || (ssl_ && SSL_pending(ssl_) > 0); }

  // The read wait, cut to what is left of the request's deadline.
  int ReadWaitMs() const {
    if (!inRequest_) return ioMs_;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline_ - TSteady::now()).count();
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
    if (inRequest_ && TSteady::now() >= deadline_) return false;
    ssize_t n;
    if (ssl_) {
      n = TlsRead(std::min(sizeof buf_, bytesLeft_), timeoutMs);
    } else {
      if (timeoutMs > 0 && !PollSocket(sock_, POLLIN, timeoutMs)) return false;
      do n = ::recv(sock_, buf_, std::min(sizeof buf_, bytesLeft_), 0);
      while (n < 0 && errno == EINTR);
    }
    if (n <= 0) return false;
    const auto got = static_cast<size_t>(n);
    bytesLeft_ -= got;
    const auto lines = static_cast<size_t>(std::count(buf_, buf_ + got, '\n'));
    linesLeft_ -= std::min(lines, linesLeft_);
    off_ = 0;
    len_ = got;
    return true;
  }

  // A record may arrive in pieces: wait for the rest within `timeoutMs`
  // (and the request's deadline), never in a blocking call.
  ssize_t TlsRead(size_t size, int timeoutMs) {
    const auto until = TSteady::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
      const int n = SSL_read(ssl_, buf_, static_cast<int>(size));
      if (n > 0) return n;
      const int error = SSL_get_error(ssl_, n);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TSteady::now()).count();
      if (inRequest_) left = std::min<int64_t>(left, ReadWaitMs());
      if (left <= 0 || !PollSocket(sock_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, static_cast<int>(left)))
        return -1;
    }
  }

  ssize_t TlsWrite(const char* ptr, size_t size) {
    for (;;) {
      const int n = SSL_write(ssl_, ptr, static_cast<int>(std::min<size_t>(size, INT32_MAX)));
      if (n > 0) return n;
      const int error = SSL_get_error(ssl_, n);
      if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return -1;
      if (!PollSocket(sock_, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, ioMs_)) return -1;
    }
  }

  socket_t sock_;
  SSL* ssl_;
  int ioMs_;
  size_t bytesLeft_ = THttpServer::kConnectionBytes;
  size_t linesLeft_ = THttpServer::kConnectionLines;
  char buf_[4096];
  size_t off_ = 0, len_ = 0;
  bool inRequest_ = false;
  bool readFailed_ = false;
  bool inHead_ = false;
  size_t headLine_ = 0;   // characters of the head's current line so far
  size_t headLines_ = 0;  // lines of text of the head so far
  TSteady::time_point deadline_;
};

// The TLS handshake of a new connection, within the request deadline.
bool Handshake(SSL* ssl, socket_t sock, const std::atomic<bool>& stopping) {
  const auto until = TSteady::now() + THttpServer::kRequestDeadline;
  for (;;) {
    const int r = SSL_accept(ssl);
    if (r == 1) return true;
    const int error = SSL_get_error(ssl, r);
    if (error != SSL_ERROR_WANT_READ && error != SSL_ERROR_WANT_WRITE) return false;
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - TSteady::now()).count();
    if (left <= 0 || stopping) return false;
    PollSocket(sock, error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT,
               static_cast<int>(std::min<int64_t>(left, kPollSliceMs)));
  }
}

// The reason OpenSSL gave for its last failure, or `otherwise`.
std::string TlsReason(const char* otherwise) {
  const unsigned long code = ERR_get_error();
  ERR_clear_error();
  if (code == 0) return otherwise;
  char text[256];
  ERR_error_string_n(code, text, sizeof text);
  return text;
}

// Whether `file` can be read; else `fault` says why, naming it.
bool Readable(const std::string& setting, const std::string& file, std::string& fault) {
  if (file.empty()) {
    fault = "HTTPServer " + setting + " is not set";
    return false;
  }
  FILE* f = std::fopen(file.c_str(), "r");
  if (!f) {
    fault = file + ": " + std::strerror(errno);
    return false;
  }
  std::fclose(f);
  return true;
}

}  // namespace

// One detached thread per connection; shutdown() waits until all are done.
class THttpServer::TConnectionThreads final : public httplib::TaskQueue {
 public:
  explicit TConnectionThreads(std::atomic<size_t>& active) : active_(active) {}

  void enqueue(std::function<void()> fn) override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      if (active_ < kMaxConnections + kSpareConnections) {
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

// One admitted connection, on its thread's stack.
struct THttpServer::TConnection {
  socket_t Sock = -1;
  std::string Address;
  bool Counted = false;  // in perAddress_ (a trusted proxy's connections are not)
  uint64_t Order = 0;    // key in open_
  std::atomic<bool> Operator{false};
};

namespace {
thread_local THttpServer::TConnection* tConnection = nullptr;
}

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
  // A socket passed to the process for this port and address is already
  // bound: the accept loop takes it as the one it would have made.
  int bound = -1;
  if (const int passed = port > 0 && port <= 65535 ? TakePassedSocket(SOCK_STREAM, port, host) : -1; passed >= 0) {
    svr_sock_ = listeningSocket_ = passed;
    passed_ = passed;
    // The accept loop looks up from its wait ten times a second, so that a
    // stop ends it without shutting the socket (see EndAcceptLoop).
    set_idle_interval(0, 100000);
    bound = port;
  } else {
    bound = port == 0 ? bind_to_any_port(host) : (bind_to_port(host, port) ? port : -1);
  }
  if (bound <= 0) {
    bindError_ = errno ? std::strerror(errno) : "cannot bind";
    return -1;
  }
  // The packaged library is built with a listen backlog of 5, and its
  // CPPHTTPLIB_LISTEN_BACKLOG is compiled in, not read from our build: a
  // burst of connections would see their handshakes dropped while the
  // accepting thread catches up. Listening again only widens the queue. A
  // passed socket listens here for the first time, and one that cannot (a
  // connected one) is refused rather than served.
  if (::listen(listeningSocket_, SOMAXCONN) != 0 && passed_ >= 0) {
    bindError_ = std::string("passed socket: ") + std::strerror(errno);
    ::close(passed_);
    passed_ = -1;
    svr_sock_ = INVALID_SOCKET;
    listeningSocket_ = -1;
    return -1;
  }
  return bound;
}

bool THttpServer::ListenAfterBind() {
  const bool ended = listen_after_bind();
  // When accepting fails for good, the library closes its listening socket
  // itself and leaves it named; a passed one is then no longer ours to
  // close. A loop we ended (Stop) found it cleared instead.
  if (passed_ >= 0 && svr_sock_ != INVALID_SOCKET) passed_ = -1;
  return ended;
}

THttpServer::~THttpServer() {
  if (passed_ >= 0) ::close(passed_);
  if (wake_ >= 0) ::close(wake_);
}

void THttpServer::Stop() {
  stopping_ = true;
  if (passed_ >= 0)
    EndAcceptLoop();
  else
    stop();
  std::lock_guard<std::mutex> lock(mutex_);
  for (const auto& [order, connection] : open_) ::shutdown(connection->Sock, SHUT_RDWR);
}

// The library's stop() shuts the listening socket, which ends it for every
// process that holds it; a passed one outlives us (the service manager hands
// it to the next start). The accept loop is ended instead by taking the
// socket from it: the loop looks up from its wait within a tenth of a second
// (Bind), and a connection of our own, kept open until the destructor,
// wakes it at once.
void THttpServer::EndAcceptLoop() {
  if (!is_running() || wake_ >= 0) return;
  svr_sock_ = INVALID_SOCKET;
  sockaddr_in self{};
  socklen_t len = sizeof self;
  wake_ = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (wake_ >= 0 && getsockname(passed_, reinterpret_cast<sockaddr*>(&self), &len) == 0) {
    if (self.sin_addr.s_addr == htonl(INADDR_ANY)) self.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Not woken (the connection refused): the wait's end comes all the same.
    (void)connect(wake_, reinterpret_cast<sockaddr*>(&self), sizeof self);
  }
}

void THttpServer::CloseAfterResponse(httplib::Response& response) {
  response.set_header("Connection", "close");
  tCloseAfterResponse = true;
}

void THttpServer::MarkOperator() {
  if (tConnection) tConnection->Operator = true;
}

bool THttpServer::LoadTls(const std::string& certificateFile, const std::string& keyFile, std::string& fault) {
  if (!Readable("TLSCertificate", certificateFile, fault) || !Readable("TLSKey", keyFile, fault)) return false;
  ERR_clear_error();
  std::shared_ptr<SSL_CTX> ctx(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
  if (!ctx) {
    fault = TlsReason("cannot create a TLS context");
    return false;
  }
  SSL_CTX_set_min_proto_version(ctx.get(), TLS1_2_VERSION);
  SSL_CTX_set_options(ctx.get(), SSL_OP_NO_RENEGOTIATION | SSL_OP_CIPHER_SERVER_PREFERENCE);
  if (SSL_CTX_use_certificate_chain_file(ctx.get(), certificateFile.c_str()) != 1) {
    fault = certificateFile + ": " + TlsReason("not a PEM certificate");
    return false;
  }
  if (SSL_CTX_use_PrivateKey_file(ctx.get(), keyFile.c_str(), SSL_FILETYPE_PEM) != 1) {
    fault = keyFile + ": " + TlsReason("not a PEM key");
    return false;
  }
  if (SSL_CTX_check_private_key(ctx.get()) != 1) {
    fault = keyFile + ": " + TlsReason("the key does not match the certificate");
    return false;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  // The first pair comes before the port opens: only then may the headers
  // every response carries change.
  if (!tls_) set_default_headers({{"Strict-Transport-Security", "max-age=31536000"}});
  tls_ = std::move(ctx);
  return true;
}

bool THttpServer::Tls() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return tls_ != nullptr;
}

// Admits a connection within the bounds; when all slots are taken, the
// oldest connection that has not shown a login is closed to make room.
bool THttpServer::Admit(TConnection& connection) {
  int port = 0;
  AddressOf(connection.Sock, true, connection.Address, port);
  std::lock_guard<std::mutex> lock(mutex_);
  if (stopping_ || tRefuseConnection) return false;
  // A proxy carries many clients; their own addresses count once the head
  // is read (the throttle, the sessions).
  connection.Counted = !forwarding_.Trusts(connection.Address);
  if (connection.Counted) {
    const auto it = perAddress_.find(connection.Address);
    if (it != perAddress_.end() && it->second >= kMaxConnectionsPerAddress) return false;
  }
  if (open_.size() >= kMaxConnections) {
    const auto stranger = std::find_if(open_.begin(), open_.end(), [](const auto& entry) {
      return !entry.second->Operator.load();
    });
    if (stranger == open_.end()) return false;
    // Its thread ends on its own once the read it waits in fails.
    ::shutdown(stranger->second->Sock, SHUT_RDWR);
    open_.erase(stranger);
  }
  if (connection.Counted) ++perAddress_[connection.Address];
  connection.Order = ++admitted_;
  open_[connection.Order] = &connection;
  return true;
}

void THttpServer::Release(const TConnection& connection) {
  std::lock_guard<std::mutex> lock(mutex_);
  open_.erase(connection.Order);
  if (connection.Counted && --perAddress_[connection.Address] == 0) perAddress_.erase(connection.Address);
}

void THttpServer::Serve(TConnection& connection, SSL* ssl) {
  TBudgetStream strm(connection.Sock, ssl, timeouts_.ReadSec);
  const auto setup = [this, tls = ssl != nullptr](httplib::Request& request) { forwarding_.Apply(request, tls); };
  for (size_t count = kKeepAliveRequests; count > 0; --count) {
    if (!strm.WaitForRequest(timeouts_.KeepAliveSec, stopping_)) break;
    bool closed = false;
    tCloseAfterResponse = false;
    const bool ret = process_request(strm, count == 1, closed, setup);
    if (!ret || closed || tCloseAfterResponse || !strm.RequestComplete()) break;
  }
}

// The one place that reaches past the library's public settings. Its
// per-connection hook is the only point that sees a connection's socket
// before the request head is read, and the library has neither a limit of
// connections per peer address, nor a deadline for a whole request (its
// read timeout restarts with every byte), nor a way to cut open
// connections short when it stops; its own TLS server would bypass all of
// these. So the hook admits the connection, shakes hands over TLS with the
// pair in use, reads it through a TBudgetStream, and runs the library's own
// request handling once per request.
bool THttpServer::process_and_close_socket(socket_t sock) {
  TConnection connection;
  connection.Sock = sock;
  if (Admit(connection)) {
    tConnection = &connection;
    std::shared_ptr<SSL_CTX> ctx;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ctx = tls_;
    }
    if (!ctx) {
      Serve(connection, nullptr);
    } else if (SSL* ssl = SSL_new(ctx.get())) {
      ::fcntl(sock, F_SETFL, ::fcntl(sock, F_GETFL) | O_NONBLOCK);
      SSL_set_fd(ssl, sock);
      if (Handshake(ssl, sock, stopping_)) {
        Serve(connection, ssl);
        SSL_shutdown(ssl);
      }
      SSL_free(ssl);
      ERR_clear_error();
    }
    tConnection = nullptr;
    Release(connection);
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  return true;
}
