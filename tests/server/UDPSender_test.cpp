#include "server/UDPSender.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <vector>

#include "support/LogCapture.h"
#include "support/TransportDriver.h"

namespace {

using namespace transport_driver;
using namespace std::chrono_literals;

// Records what is sent; the sends listed in FailOn raise instead.
class TFakeSocket : public TUDPSocket {
 public:
  void SendTo(const uint8_t* data, size_t size, std::string_view address, uint16_t port) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const size_t n = attempts_++;
    for (size_t f : FailOn)
      if (f == n) throw EUDPSocket("sendto: network unreachable");
    TPacket p(data, size);
    sent_.push_back(wire::GetU32(p.Memory() + 8));
    addresses_.push_back(std::string(address) + ":" + std::to_string(port));
    cond_.notify_all();
  }
  bool Active() const override { return true; }
  // Waits (generously) until `count` datagrams went out; returns their player ids.
  std::vector<uint32_t> WaitForSent(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    cond_.wait_for(lock, 10s, [&] { return sent_.size() >= count; });
    return sent_;
  }
  std::vector<std::string> Addresses() {
    std::lock_guard<std::mutex> lock(mutex_);
    return addresses_;
  }
  std::vector<size_t> FailOn;

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  size_t attempts_ = 0;
  std::vector<uint32_t> sent_;
  std::vector<std::string> addresses_;
};

class UDPSenderTest : public ::testing::Test {
 protected:
  // No listener runs here: its end is reported up front, so that stopping
  // the buffer waits for the sender alone.
  UDPSenderTest() { buffer.ThreadFinished(1); }
  // Runs a sender until `count` datagrams went out, then stops it and the
  // buffer; returns the player ids of what went out.
  std::vector<uint32_t> SendUntil(size_t count) {
    TPLUDPSender sender(buffer, socket);
    sender.Start();
    std::vector<uint32_t> sent = socket.WaitForSent(count);
    sender.Terminate();
    buffer.Shutdown();
    sender.WaitFor();
    return sent;
  }
  TFakeSocket socket;
  TCustomPacketBuffer buffer;
};

TEST_F(UDPSenderTest, FailedSendIsLoggedOnceAndTheNextPacketStillGoes) {
  TLogCapture log;
  Connect(buffer, 1, 0x10);
  socket.FailOn = {0};
  buffer.SendPacket(NewVoiceS2CPacket(1, 9, 8), false);
  buffer.SendPacket(NewVoiceS2CPacket(1, 9, 8), false);
  EXPECT_EQ(SendUntil(1).size(), 1u);
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Source, "TPLUDPSender.Execute");
  EXPECT_EQ(lines[0].Message, "Exception EUDPSocket : sendto: network unreachable");
  EXPECT_EQ(socket.Addresses()[0], "127.0.0.1:5000");
}

// A peer picks the address its replies go to, and so which sends fail: the
// log gets a few lines, not one per failure.
TEST_F(UDPSenderTest, ManyFailedSendsWriteAFewLines) {
  TLogCapture log;
  Connect(buffer, 1, 0x10);
  constexpr size_t kFailures = 200;
  for (size_t i = 0; i < kFailures; ++i) socket.FailOn.push_back(i);
  for (size_t i = 0; i <= kFailures; ++i) buffer.SendPacket(NewVoiceS2CPacket(1, 9, 8), false);
  EXPECT_EQ(SendUntil(1).size(), 1u);
  EXPECT_GE(log.Lines().size(), 1u);
  EXPECT_LE(log.Lines().size(), 20u);
}

TEST_F(UDPSenderTest, PacketsOfTwoConnectionsLeaveAlternately) {
  Connect(buffer, 1, 0x10);
  Connect(buffer, 2, 0x20);
  for (int i = 0; i < 5; ++i) buffer.SendPacket(NewVoiceS2CPacket(1, 9, 8), false);
  for (int i = 0; i < 5; ++i) buffer.SendPacket(NewVoiceS2CPacket(2, 9, 8), false);
  EXPECT_EQ(SendUntil(10), (std::vector<uint32_t>{1, 2, 1, 2, 1, 2, 1, 2, 1, 2}));
}

TEST_F(UDPSenderTest, IdleSenderWakesAndReportsItsEndWhenTheServerStops) {
  TPLUDPSender sender(buffer, socket);
  sender.Start();
  // Once its one packet is out, the sender goes back to waiting for more.
  Connect(buffer, 1, 0x10);
  buffer.SendPacket(NewVoiceS2CPacket(1, 9, 8), false);
  ASSERT_EQ(socket.WaitForSent(1).size(), 1u);
  sender.Terminate();
  const auto start = std::chrono::steady_clock::now();
  buffer.Shutdown();  // waits up to 2000 ms for the sender's end
  const auto took = std::chrono::steady_clock::now() - start;
  sender.WaitFor();
  EXPECT_LT(took, 1500ms) << "the sender did not report its end";
}

}  // namespace
