#include "server/UDPSender.h"

#include "common/ExceptionName.h"
#include "common/Log.h"
#include "common/LogRateLimiter.h"

namespace {

// A peer decides where replies go, so it decides which sends fail: a few
// lines a second are written and the rest counted. One sender thread per
// server, so a limiter per thread needs no lock.
void LogSendError(const std::exception& error) {
  thread_local TLogRateLimiter limiter(SystemClock());
  uint32_t suppressed = 0;
  const bool allowed = limiter.Allow(suppressed);
  if (suppressed)
    LogFmt(LMTERROR, LMDALL, "TPLUDPSender.Execute", "%1 more send errors not logged", {suppressed});
  if (allowed)
    LogFmt(LMTERROR, LMDALL, "TPLUDPSender.Execute", "Exception %1 : %2", {ExceptionClassName(error), error.what()});
}

}  // namespace

TPLUDPSender::~TPLUDPSender() { WaitFor(); }

void TPLUDPSender::Start() { thread_ = std::thread(&TPLUDPSender::Execute, this); }

void TPLUDPSender::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

void TPLUDPSender::SendCurrent() {
  // The packet goes whether or not the send succeeds; a lost command is
  // resent by its connection, which kept it in flight.
  std::unique_ptr<TPacket> packet = std::move(CurrentPacket);
  socket_.SendTo(packet->Memory(), packet->Size(), packet->Address, packet->Port);
}

void TPLUDPSender::Execute() {
  while (!(terminated_.load(std::memory_order_acquire) && buffer_.Closing())) {
    try {
      CurrentPacket = buffer_.GetPacketToSend();
      if (!CurrentPacket) break;
      SendCurrent();
    } catch (const std::exception& error) {
      CurrentPacket.reset();
      LogSendError(error);
    }
  }
  // Drain what the buffer still releases; the first error ends it.
  try {
    while ((CurrentPacket = buffer_.GetPacketToSend())) SendCurrent();
  } catch (const std::exception& error) {
    CurrentPacket.reset();
    LogSendError(error);
  }
  buffer_.ThreadFinished(0);
}
