// Real datagrams on 127.0.0.1: a client socket, the server's socket feeding
// the packet buffer, the sender thread writing the buffer's answers back.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "common/PacketBuffer.h"
#include "common/PassedSockets.h"
#include "server/PosixUDPSocket.h"
#include "server/UDPSender.h"
#include "support/HeldPort.h"
#include "support/LogCapture.h"
#include "support/TransportDriver.h"

namespace {

using namespace transport_driver;
using namespace std::chrono_literals;

// A socket on 127.0.0.1 that queues what it receives.
class TClientSocket {
 public:
  TClientSocket() {
    socket.BoundToIp = "127.0.0.1";
    socket.OnRead = [this](const TPosixUDPSocket::TReceived& d) {
      auto p = std::make_unique<TPacket>(d.Data, d.Size);
      p->SetPeer(d.Address, d.Ip, d.Port);
      std::lock_guard<std::mutex> lock(mutex_);
      received_.push_back(std::move(p));
      cond_.notify_all();
    };
    socket.SetActive(true);
  }
  void Send(TPacket& p, uint16_t port) { socket.SendTo(p.Memory(), p.Size(), "127.0.0.1", port); }
  // The next datagram, or none after a generous wait.
  std::unique_ptr<TPacket> Receive() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!cond_.wait_for(lock, 10s, [&] { return !received_.empty(); })) return nullptr;
    auto p = std::move(received_.front());
    received_.pop_front();
    return p;
  }
  TPosixUDPSocket socket;

 private:
  std::mutex mutex_;
  std::condition_variable cond_;
  std::deque<std::unique_ptr<TPacket>> received_;
};

// A read handler that raises is logged, a few lines a second, and the
// reading goes on.
TEST(UDPLoopback, ARaisingReadHandlerIsLoggedAndReadingGoesOn) {
  TLogCapture log;
  TPosixUDPSocket server;
  server.BoundToIp = "127.0.0.1";
  std::mutex mutex;
  std::condition_variable cond;
  int calls = 0;
  server.OnRead = [&](const TPosixUDPSocket::TReceived&) {
    std::lock_guard<std::mutex> lock(mutex);
    cond.notify_all();
    if (++calls <= 20) throw std::runtime_error("handler broke");
  };
  server.SetActive(true);
  TClientSocket client;
  auto p = NewCommandPacket(kCommandListsEnd, 5);
  for (int i = 0; i < 21; ++i) client.Send(*p, server.BoundPort());
  {
    std::unique_lock<std::mutex> lock(mutex);
    EXPECT_TRUE(cond.wait_for(lock, 10s, [&] { return calls >= 21; })) << calls;
  }
  server.SetActive(false);
  EXPECT_EQ(calls, 21);
  const auto messages = log.Messages();
  const auto logged = std::count(messages.begin(), messages.end(), "TPosixUDPSocket.OnRead Exception: handler broke");
  EXPECT_GE(logged, 1);
  EXPECT_LE(logged, 10);
}

TEST(UDPLoopback, DatagramsTravelSocketToBufferToSenderToSocket) {
  TCustomPacketBuffer buffer;
  TPosixUDPSocket server;
  server.BoundToIp = "127.0.0.1";
  server.OnRead = [&](const TPosixUDPSocket::TReceived& d) {
    auto p = std::make_unique<TPacket>(d.Data, d.Size);
    p->SetPeer(d.Address, d.Ip, d.Port);
    if (!buffer.Closing()) buffer.TryStoreReceivedPacket(std::move(p));
  };
  TPLUDPSender sender(buffer, server);
  sender.Start();
  server.SetActive(true);
  ASSERT_NE(server.BoundPort(), 0);

  TClientSocket client;
  const uint16_t serverPort = server.BoundPort();
  buffer.AddConnection(5, 0x55, 1, client.socket.BoundPort(), "127.0.0.1");

  // The server's end-of-lists command reaches the client, whose ack connects it.
  buffer.SendPacket(NewCommandPacket(kCommandListsEnd, 5), false);
  auto command = client.Receive();
  ASSERT_TRUE(command && command->IsCommand());
  EXPECT_TRUE(command->IsValid());
  EXPECT_EQ(command->GetSessionKey(), 0x55u);
  EXPECT_EQ(command->Port, serverPort);
  client.Send(*ClientAckOf(*command), serverPort);

  // A client command is delivered to the listener and acknowledged over the wire.
  auto mine = ClientCommand(5, 0x55, 1, 0, 0x0123, 10);
  client.Send(*mine, serverPort);
  uint32_t id = 0;
  std::unique_ptr<TPacket> delivered;
  ASSERT_EQ(buffer.WaitForPacket(id, delivered), wpPacket);
  EXPECT_EQ(id, 5u);
  EXPECT_EQ(delivered->CommandHeader().Command(), 0x0123);
  EXPECT_EQ(delivered->Port, client.socket.BoundPort());
  auto ack = client.Receive();
  ASSERT_TRUE(ack && ack->IsAck());
  EXPECT_EQ(ack->AckHeader().Sequence(), 1u);

  // Being connected now, a ping gets its pong.
  auto ping = ClientMaintenance(kMaintenancePing, 5, 0x55, 3);
  client.Send(*ping, serverPort);
  auto pong = client.Receive();
  ASSERT_TRUE(pong && pong->IsMaintenance());
  EXPECT_EQ(pong->MaintenanceHeader().Subtype(), kMaintenancePong);
  EXPECT_EQ(wire::GetU32(pong->Memory() + 20), 3u);

  sender.Terminate();
  buffer.ThreadFinished(1);
  buffer.Shutdown();
  sender.WaitFor();
  server.SetActive(false);
  const TBufferStatistics s = buffer.GetStatistics();
  EXPECT_EQ(s.PacketsReceived, 3u);
  EXPECT_EQ(s.PacketsSent, 3u);
}

// Stands in for the batch system call: passes at most two messages at a
// time on to the system, and refuses a datagram starting with 0xEE the way
// the system refuses one it cannot send (a partial count, or the error when
// it comes first).
int SendTwoAtATime(int fd, mmsghdr* messages, unsigned int count, int flags) {
  unsigned int n = std::min(count, 2u);
  for (unsigned int i = 0; i < n; ++i)
    if (static_cast<const uint8_t*>(messages[i].msg_hdr.msg_iov[0].iov_base)[0] == 0xEE) {
      if (i == 0) {
        errno = EPERM;
        return -1;
      }
      n = i;
    }
  return sendmmsg(fd, messages, n, flags);
}

void StartSendingTwoAtATime(TPosixUDPSocket& server) {
  server.BoundToIp = "127.0.0.1";
  server.SetActive(true);
  server.SendMany = SendTwoAtATime;
}

TEST(PosixUDPSocket, BatchGoesOnPastPartialSendsAndFailedDatagrams) {
  TClientSocket receiver;
  TPosixUDPSocket server;
  StartSendingTwoAtATime(server);
  // More than one system batch; 5 and 66 are refused by the system, 9 has no
  // usable address, 10 has its address as text only.
  constexpr size_t kCount = TPosixUDPSocket::kSendBatch + 6;
  std::vector<uint8_t> first(kCount);
  std::vector<TOutgoingDatagram> batch(kCount);
  for (size_t i = 0; i < kCount; ++i) {
    first[i] = i == 5 || i == 66 ? 0xEE : static_cast<uint8_t>(i);
    batch[i] = {&first[i], 1, ParseIPv4Address("127.0.0.1"), receiver.socket.BoundPort(), ""};
  }
  batch[9].Ip = 0;
  batch[9].Address = "300.1.1.1";
  batch[10].Ip = 0;
  batch[10].Address = "127.0.0.1";
  std::vector<TSendFailure> failures;
  server.SendBatch(batch.data(), kCount, failures);

  ASSERT_EQ(failures.size(), 3u);
  std::sort(failures.begin(), failures.end(), [](auto& a, auto& b) { return a.Index < b.Index; });
  EXPECT_EQ(failures[0].Index, 5u);
  EXPECT_EQ(failures[1].Index, 9u);
  EXPECT_EQ(failures[2].Index, 66u);
  EXPECT_EQ(failures[0].Reason, "sendmmsg: Operation not permitted");
  EXPECT_EQ(failures[1].Reason, "not an IPv4 address: 300.1.1.1");
  for (size_t i = 0; i < kCount; ++i) {
    if (i == 5 || i == 9 || i == 66) continue;
    auto p = receiver.Receive();
    ASSERT_TRUE(p) << "datagram " << i << " did not arrive";
    EXPECT_EQ(p->Memory()[0], i) << "out of order";
  }
}

// The relay's direct voice: each datagram its own header and the shared
// payload, whole and in order, past partial sends and refused datagrams.
TEST(PosixUDPSocket, DirectVoiceJoinsEachHeaderWithTheSharedPayload) {
  TClientSocket receiver;
  TPosixUDPSocket server;
  StartSendingTwoAtATime(server);
  auto voice = std::make_unique<TDirectVoice>();
  const uint8_t payload[] = {0xA1, 0xA2, 0xA3};
  voice->Payload = payload;
  voice->PayloadSize = sizeof payload;
  voice->Count = TPosixUDPSocket::kSendBatch + 6;
  for (size_t i = 0; i < voice->Count; ++i) {
    TDirectVoice::TEntry& e = voice->Entries[i];
    std::fill(std::begin(e.Header), std::end(e.Header), static_cast<uint8_t>(i));
    if (i == 3 || i == TPosixUDPSocket::kSendBatch) e.Header[0] = 0xEE;
    e.Ip = ParseIPv4Address("127.0.0.1");
    e.Port = receiver.socket.BoundPort();
  }
  std::vector<TSendFailure> failures;
  server.SendVoice(*voice, failures);
  ASSERT_EQ(failures.size(), 2u);
  EXPECT_EQ(failures[0].Index, 3u);
  EXPECT_EQ(failures[1].Index, TPosixUDPSocket::kSendBatch);
  for (size_t i = 0; i < voice->Count; ++i) {
    if (i == 3 || i == TPosixUDPSocket::kSendBatch) continue;
    auto p = receiver.Receive();
    ASSERT_TRUE(p) << "datagram " << i << " did not arrive";
    ASSERT_EQ(p->Size(), kVoiceS2CHeaderSize + sizeof payload);
    EXPECT_EQ(p->Memory()[kVoiceS2CHeaderSize - 1], i) << "out of order";
    EXPECT_TRUE(std::equal(payload, payload + sizeof payload, p->Memory() + kVoiceS2CHeaderSize));
  }
}

// The age is the reader's time less the datagram's arrival stamp: read two
// seconds after its arrival (a clock running two seconds ahead), a datagram
// has waited two seconds.
TEST(PosixUDPSocket, ReportsHowLongADatagramWaitedToBeRead) {
  TPosixUDPSocket server;
  server.BoundToIp = "127.0.0.1";
  server.ReadTime = [](clockid_t clock, timespec* now) {
    const int result = clock_gettime(clock, now);
    now->tv_sec += 2;
    return result;
  };
  std::mutex mutex;
  std::condition_variable cond;
  std::vector<uint32_t> ages;
  server.OnRead = [&](const TPosixUDPSocket::TReceived& d) {
    std::lock_guard<std::mutex> lock(mutex);
    ages.push_back(d.AgeMs);
    cond.notify_all();
  };
  server.SetActive(true);
  TClientSocket client;
  auto p = NewVoiceC2SPacket(1, 1, 1, 4);
  client.Send(*p, server.BoundPort());
  {
    std::unique_lock<std::mutex> lock(mutex);
    ASSERT_TRUE(cond.wait_for(lock, 10s, [&] { return ages.size() == 1; }));
  }
  server.SetActive(false);
  EXPECT_GE(ages[0], 2000u);
  EXPECT_LT(ages[0], 60000u);
}

// Switched off, a reader waiting for datagrams stops: the socket's own, shut
// for reading, and one passed to the process, which is never shut but woken
// and given back to the pool still bound, so that the next socket on its port
// takes it and reads as the first did.
TEST(PosixUDPSocket, SwitchingOffStopsAWaitingReaderPromptly) {
  THeldPort held(SOCK_DGRAM);
  const int watch = dup(held.Fd());  // the same socket, to see whether it was shut
  const uint16_t passedPort = held.Pass();
  {
    // A passed socket serves only the address it is bound to: one meant for
    // every address leaves the loopback one alone and finds its port taken.
    TPosixUDPSocket wide;
    wide.DefaultPort = passedPort;
    EXPECT_THROW(wide.SetActive(true), EUDPSocket);
  }
  for (const uint16_t port : {uint16_t{0}, passedPort, passedPort}) {
    TPosixUDPSocket socket;
    socket.BoundToIp = "127.0.0.1";
    socket.DefaultPort = port;
    std::mutex mutex;
    std::condition_variable cond;
    int read = 0;
    socket.OnRead = [&](const TPosixUDPSocket::TReceived&) {
      std::lock_guard<std::mutex> lock(mutex);
      ++read;
      cond.notify_all();
    };
    socket.SetActive(true);
    ASSERT_TRUE(socket.Active());
    if (port != 0) {
      EXPECT_EQ(socket.BoundPort(), port);
    }
    // A read done: the reader is back in its loop, waiting for the next.
    TClientSocket client;
    auto p = NewVoiceC2SPacket(1, 1, 1, 4);
    client.Send(*p, socket.BoundPort());
    {
      std::unique_lock<std::mutex> lock(mutex);
      ASSERT_TRUE(cond.wait_for(lock, 10s, [&] { return read == 1; })) << port;
    }
    const auto start = std::chrono::steady_clock::now();
    socket.SetActive(false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_FALSE(socket.Active());
    EXPECT_EQ(read, 1) << "the wake-up reached the handler";
    EXPECT_THROW(socket.SendTo(reinterpret_cast<const uint8_t*>("x"), 1, "127.0.0.1", 9), EUDPSocket);
  }
  // Not shut (a shut socket polls as hung up and readable for good); it
  // holds at most the wake-up its last reader left behind.
  char byte;
  int left = 0;
  while (recv(watch, &byte, 1, MSG_DONTWAIT) == 0) ++left;
  EXPECT_LE(left, 1);
  pollfd shut{watch, POLLIN | POLLRDHUP, 0};
  EXPECT_EQ(poll(&shut, 1, 0), 0) << shut.revents;
  EXPECT_EQ(ClosePassedSockets(), std::vector<uint16_t>{passedPort});
  close(watch);
}

TEST(PosixUDPSocket, BindFailuresRaise) {
  TPosixUDPSocket first;
  first.BoundToIp = "127.0.0.1";
  first.SetActive(true);
  TPosixUDPSocket second;
  second.BoundToIp = "127.0.0.1";
  second.DefaultPort = first.BoundPort();
  EXPECT_THROW(second.SetActive(true), EUDPSocket);
  EXPECT_FALSE(second.Active());
  TPosixUDPSocket badAddress;
  badAddress.BoundToIp = "not-an-address";
  EXPECT_THROW(badAddress.SetActive(true), EUDPSocket);
  EXPECT_THROW(first.SendTo(reinterpret_cast<const uint8_t*>("x"), 1, "300.1.1.1", 9), EUDPSocket);
}

}  // namespace
