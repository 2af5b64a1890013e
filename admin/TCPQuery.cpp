#include "admin/TCPQuery.h"

#include <algorithm>
#include <array>
#include <asio.hpp>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "admin/QueryCommands.h"
#include "admin/QueryLineReader.h"
#include "common/Log.h"
#include "common/PassedSockets.h"

namespace {

constexpr const char* kSource = "TCPQUERY";
constexpr auto kAcceptRetry = std::chrono::milliseconds(100);
// The query's threads give way to the voice threads: a flood of commands
// slows the query down, not the relay.
constexpr int kQueryNice = 10;

void LowerThreadPriority() { setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kQueryNice); }

}  // namespace

class TQuerySession;

struct TQueryServer {
  explicit TQueryServer(TTCPQueryOptions o) : options(std::move(o)), acceptor(io), retry(io) {}

  void Accept();
  void Refuse(asio::ip::tcp::socket socket);
  bool MakeRoom();
  void CloseAll();

  TTCPQueryOptions options;
  asio::io_context io;
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(io);
  asio::ip::tcp::acceptor acceptor;
  asio::steady_timer retry;
  // The commands' queue, run by the worker threads. Destroyed before the
  // I/O context: the sessions its queued commands hold own sockets of that
  // context.
  asio::io_context workers;
  asio::executor_work_guard<asio::io_context::executor_type> workersBusy = asio::make_work_guard(workers);
  std::vector<std::thread> workerThreads;
  std::thread ioThread;
  std::atomic<bool> stopping{false};
  std::atomic<uint16_t> port{0};
  std::unordered_set<std::shared_ptr<TQuerySession>> sessions;  // I/O thread only
  uint64_t accepted = 0;                                         // I/O thread only
  std::atomic<size_t> openCount{0};                              // sessions.size(), for any thread
  std::unordered_map<std::string, size_t> perAddress;            // I/O thread only
};

// One accepted connection. Everything but the command itself runs on the
// I/O thread; the command runs on a worker with the session's
// TQueryConnection, which no other thread touches meanwhile.
class TQuerySession : public std::enable_shared_from_this<TQuerySession> {
 public:
  TQuerySession(TQueryServer& owner, asio::ip::tcp::socket socket, std::string address)
      : owner_(owner), socket_(std::move(socket)), idle_(owner.io), address_(std::move(address)),
        order_(++owner.accepted) {}

  // I/O thread: whether it has logged in, and when it was accepted.
  bool LoggedIn() const { return loggedIn_; }
  uint64_t Order() const { return order_; }

  void Start() {
    asio::error_code ec;
    // Answers are small and each waits for the one before: no Nagle delay.
    socket_.set_option(asio::ip::tcp::no_delay(true), ec);
    connection_.PeerAddress = address_;
    ++owner_.perAddress[address_];
    Touch();
    WatchIdle();
    Write("[PL]\r\n", [self = shared_from_this()] {
      asio::post(self->owner_.workers, [self] {
        try {
          TakeServerSnapshot(self->connection_);
          QueryTrace("Connected");
        } catch (const std::exception&) {
          Log(LMTERROR, LMDALL, kSource, "TTCPQuery.OnConnect: unable to initialize object");
        }
        asio::post(self->owner_.io, [self] { self->ProcessNext(); });
      });
    });
  }

  void Close() {
    if (closed_) return;
    closed_ = true;
    asio::error_code ec;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    socket_.close(ec);
    idle_.cancel();
    if (--owner_.perAddress[address_] == 0) owner_.perAddress.erase(address_);
    owner_.sessions.erase(shared_from_this());
    owner_.openCount.store(owner_.sessions.size(), std::memory_order_relaxed);
    QueryTrace("Disconnected");
  }

 private:
  // Answers the lines already received one by one, and reads on when none is left.
  void ProcessNext() {
    if (closed_) return;
    std::string line;
    switch (reader_.Next(line)) {
      case TQueryLineReader::TResult::NeedMore:
        socket_.async_read_some(asio::buffer(input_),
                                [self = shared_from_this()](const asio::error_code& ec, size_t size) {
                                  if (ec) return self->Close();
                                  self->Touch();
                                  self->reader_.Feed(self->input_.data(), size);
                                  self->ProcessNext();
                                });
        break;
      case TQueryLineReader::TResult::TooLong:
        Write(QueryErrorLine("line too long"), [self = shared_from_this()] { self->ProcessNext(); });
        break;
      case TQueryLineReader::TResult::Line:
        Execute(std::move(line));
        break;
    }
  }

  void Execute(std::string line) {
    asio::post(owner_.workers, [self = shared_from_this(), line = std::move(line)] {
      if (self->owner_.stopping) return;
      auto answer = std::make_shared<TQueryAnswer>(
          ExecuteQueryLine(self->connection_, line, self->owner_.options.Environment));
      const bool loggedIn = self->connection_.LoggedIn;
      asio::post(self->owner_.io, [self, answer, loggedIn] {
        if (loggedIn != self->loggedIn_ && !self->closed_) {
          self->loggedIn_ = loggedIn;
          self->WatchIdle();  // the other idle limit applies from now on
        }
        if (answer->Close) return self->Close();
        self->Write(std::move(answer->Text), [self] { self->ProcessNext(); });
      });
    });
  }

  void Write(std::string text, std::function<void()> then) {
    if (closed_) return;
    output_ = std::move(text);
    asio::async_write(socket_, asio::buffer(output_),
                      [self = shared_from_this(), then = std::move(then)](const asio::error_code& ec, size_t) {
                        if (ec) return self->Close();
                        then();
                      });
  }

  void Touch() { lastHeard_ = std::chrono::steady_clock::now(); }

  // A stranger gets a short while to log in; an administrator the long one.
  std::chrono::milliseconds IdleLimit() const {
    return loggedIn_ ? owner_.options.IdleTimeout : owner_.options.IdleBeforeLogin;
  }

  // One timer per connection, re-armed for what is left of the idle time
  // rather than restarted by every read.
  void WatchIdle() {
    idle_.expires_at(lastHeard_ + IdleLimit());
    idle_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
      if (ec || self->closed_) return;
      if (std::chrono::steady_clock::now() - self->lastHeard_ >= self->IdleLimit()) return self->Close();
      self->WatchIdle();
    });
  }

  TQueryServer& owner_;
  asio::ip::tcp::socket socket_;
  asio::steady_timer idle_;
  std::chrono::steady_clock::time_point lastHeard_;
  TQueryLineReader reader_;
  std::array<char, TQueryLineReader::kMaxLine> input_;
  std::string output_;
  std::string address_;
  TQueryConnection connection_;
  uint64_t order_;
  bool loggedIn_ = false;  // the I/O thread's copy of connection_.LoggedIn
  bool closed_ = false;
};

void TQueryServer::Accept() {
  acceptor.async_accept([this](const asio::error_code& ec, asio::ip::tcp::socket socket) {
    if (ec == asio::error::operation_aborted || !acceptor.is_open()) return;
    if (ec) {
      // Out of descriptors, say: try again shortly instead of spinning.
      retry.expires_after(kAcceptRetry);
      retry.async_wait([this](const asio::error_code& e) {
        if (!e) Accept();
      });
      return;
    }
    asio::error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    std::string address = peerError ? std::string() : peer.address().to_string();
    const auto fromAddress = perAddress.find(address);
    if (fromAddress != perAddress.end() && fromAddress->second >= options.MaxPerAddress) {
      Refuse(std::move(socket));
    } else if (sessions.size() >= options.MaxConnections && !MakeRoom()) {
      Refuse(std::move(socket));
    } else {
      auto session = std::make_shared<TQuerySession>(*this, std::move(socket), std::move(address));
      sessions.insert(session);
      openCount.store(sessions.size(), std::memory_order_relaxed);
      session->Start();
    }
    Accept();
  });
}

// Full: the oldest connection that has not logged in goes, so that
// strangers holding every slot cannot keep an administrator out. False
// when every connection has logged in.
bool TQueryServer::MakeRoom() {
  std::shared_ptr<TQuerySession> oldest;
  for (const auto& session : sessions)
    if (!session->LoggedIn() && (!oldest || session->Order() < oldest->Order())) oldest = session;
  if (!oldest) return false;
  oldest->Close();
  return true;
}

void TQueryServer::Refuse(asio::ip::tcp::socket socket) {
  static const std::string kRefusal = QueryErrorLine("too many connections");
  auto s = std::make_shared<asio::ip::tcp::socket>(std::move(socket));
  asio::async_write(*s, asio::buffer(kRefusal), [s](const asio::error_code&, size_t) {
    asio::error_code ec;
    s->shutdown(asio::ip::tcp::socket::shutdown_both, ec);
    s->close(ec);
  });
}

void TQueryServer::CloseAll() {
  asio::error_code ec;
  acceptor.close(ec);
  retry.cancel();
  const auto open = sessions;
  for (const auto& session : open) session->Close();
}

TTCPQuery::TTCPQuery(TTCPQueryOptions options) : impl_(std::make_unique<TQueryServer>(std::move(options))) {
  try {
    const asio::ip::address address = impl_->options.BindAddress.empty()
                                          ? asio::ip::address(asio::ip::address_v4::any())
                                          : asio::ip::make_address(impl_->options.BindAddress);
    if (impl_->options.Port < 0 || impl_->options.Port > 65535) throw std::out_of_range("port");
    const asio::ip::tcp::endpoint endpoint(address, static_cast<uint16_t>(impl_->options.Port));
    // A socket passed to the process for this port and address is already bound.
    const int passed = TakePassedSocket(SOCK_STREAM, endpoint.port(), impl_->options.BindAddress);
    if (passed >= 0) {
      impl_->acceptor.assign(asio::ip::tcp::v4(), passed);
    } else {
      impl_->acceptor.open(endpoint.protocol());
      impl_->acceptor.set_option(asio::ip::tcp::acceptor::reuse_address(true));
      impl_->acceptor.bind(endpoint);
    }
    impl_->acceptor.listen();
    impl_->port = impl_->acceptor.local_endpoint().port();
  } catch (const std::exception& e) {
    // The line begins as it always did; the system's reason follows.
    Log(LMTERROR, LMDALL, kSource, std::string("TTCPQuery.Create: unable to initialize communication ") + e.what());
    asio::error_code ec;
    impl_->acceptor.close(ec);
    return;
  }
  impl_->Accept();
  TQueryServer* impl = impl_.get();
  for (size_t i = 0; i < std::max<size_t>(impl->options.Workers, 1); ++i)
    impl->workerThreads.emplace_back([impl] {
      LowerThreadPriority();
      impl->workers.run();
    });
  impl->ioThread = std::thread([impl] {
    LowerThreadPriority();
    impl->io.run();
  });
}

// Commands in work finish (a restart in progress completes); commands not
// yet started are dropped; then every connection is closed.
TTCPQuery::~TTCPQuery() {
  impl_->stopping = true;
  impl_->workers.stop();
  for (std::thread& worker : impl_->workerThreads) worker.join();
  if (impl_->ioThread.joinable()) {
    asio::post(impl_->io, [impl = impl_.get()] { impl->CloseAll(); });
    impl_->work.reset();
    impl_->ioThread.join();
  }
}

bool TTCPQuery::Active() const { return impl_->port != 0; }

uint16_t TTCPQuery::Port() const { return impl_->port; }

size_t TTCPQuery::Connections() const { return impl_->openCount.load(std::memory_order_relaxed); }
