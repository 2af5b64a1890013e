#include "server/UDPSender.h"

#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/LogRateLimiter.h"
#include "common/ThreadAllocatorCache.h"

namespace {

// A peer decides where replies go, so it decides which sends fail: a few
// lines a second are written and the rest counted. Sends happen on a
// server's sender and socket reader threads only, so a limiter per thread
// needs no lock.
TLogRateLimiter& SendErrorLines() {
  thread_local TLogRateLimiter limiter(SystemClock());
  return limiter;
}

constexpr char kSource[] = "TPLUDPSender.Execute";

}  // namespace

TPLUDPSender::~TPLUDPSender() { WaitFor(); }

void TPLUDPSender::Start() { thread_ = std::thread(&TPLUDPSender::Execute, this); }

void TPLUDPSender::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

bool TPLUDPSender::SendBatch(uint32_t& hint, bool senderThread) {
  const size_t count = buffer_.NextPacketsToSend(batch_, kBatch, hint, senderThread);
  if (count == 0) return false;
  for (size_t i = 0; i < count; ++i) {
    const TPacket& p = *batch_[i];
    datagrams_[i] = {p.Memory(), p.Size(), p.PeerIp, p.Port, p.Address};
  }
  // The packets go whether or not the send succeeds; a lost command is
  // resent by its connection, which kept it in flight.
  socket_.SendBatch(datagrams_, count, failures_);
  for (size_t i = 0; i < count; ++i) batch_[i].reset();
  LogFailures();
  return true;
}

void TPLUDPSender::LogFailures() {
  for (const TSendFailure& failure : failures_) LogCaughtLimited(SendErrorLines(), kSource, EUDPSocket(failure.Reason));
  failures_.clear();
}

void TPLUDPSender::Flush() {
  if (buffer_.Closing()) return;
  std::unique_lock<std::mutex> lock(sendLock_, std::try_to_lock);
  if (!lock.owns_lock()) {
    // The thread sending now may have looked at the buffer for the last
    // time before our packets were queued.
    buffer_.SendEvent.SetEvent();
    return;
  }
  FlushHeld();
}

void TPLUDPSender::FlushHeld() {
  uint32_t hint;
  while (SendBatch(hint, false)) {
  }
  // A command now in flight falls due for a resend; the sender thread may be
  // asleep on an older deadline (or none) and must look again.
  if (hint != TCustomPacketBuffer::kNever) buffer_.SendEvent.SetEvent();
}

TPLUDPSender::TTurn TPLUDPSender::TryHold() {
  TTurn turn(*this);
  if (turn.lock_.owns_lock()) direct_.Clear();
  return turn;
}

void TPLUDPSender::Send(TTurn& turn) {
  if (!turn.lock_.owns_lock()) {
    // The thread sending now may have looked at the buffer for the last
    // time before the relay queued its copies.
    buffer_.SendEvent.SetEvent();
    return;
  }
  if (direct_.Count) {
    socket_.SendVoice(direct_, failures_);
    direct_.Clear();
    LogFailures();
  }
  if (!buffer_.Closing()) FlushHeld();
  turn.lock_.unlock();
}

void TPLUDPSender::Execute() {
  while (!(terminated_.load(std::memory_order_acquire) && buffer_.Closing())) {
    uint32_t hint = TCustomPacketBuffer::kNever;
    try {
      std::lock_guard<std::mutex> lock(sendLock_);
      if (buffer_.Closing()) break;
      if (SendBatch(hint, true)) continue;
      // The batch consumes the wake-up, also the one the shutdown sent after
      // the check above: no wait after that, since nothing would end it.
      if (buffer_.Closing()) break;
    } catch (const std::exception& error) {
      for (auto& packet : batch_) packet.reset();
      LogCaughtLimited(SendErrorLines(), kSource, error);
      continue;
    }
    TPacket::TrimThreadStoreEverySecond(TPacket::SteadyMs() / 1000);
    // With nothing in flight the sender may sleep for long: after a second
    // without work, the packets it kept for the next burst are not worth
    // holding meanwhile.
    if (hint == TCustomPacketBuffer::kNever) {
      if (buffer_.SendEvent.WaitFor(kIdleTrimMs) == TWindowsEvent::wrTimeout) {
        TPacket::TrimThreadStore(true);
        ReleaseThreadAllocatorCache();
        buffer_.SendEvent.WaitFor(TWindowsEvent::INFINITE);
      }
      continue;
    }
    buffer_.SendEvent.WaitFor(hint + 2);
  }
  buffer_.ThreadFinished(0);
}
