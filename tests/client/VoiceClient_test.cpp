// The client library against a bare UDP socket standing in for a server.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include "client/VoiceClient.h"
#include "common/CommandCodes.h"
#include "support/HeldPort.h"

namespace {

class TFakeServer {
 public:
  uint16_t Port() const { return socket_.Port(); }

  // Next datagram, or empty after `ms`.
  std::vector<uint8_t> Receive(int ms = 2000) {
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, ms) <= 0) return {};
    std::vector<uint8_t> buf(4096);
    socklen_t len = sizeof peer_;
    const ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr*>(&peer_), &len);
    buf.resize(n > 0 ? static_cast<size_t>(n) : 0);
    return buf;
  }
  void Send(std::vector<uint8_t> d) { sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&peer_), sizeof peer_); }

  static std::vector<uint8_t> Command(uint16_t code, uint32_t seq, uint32_t key, uint32_t id) {
    std::vector<uint8_t> d(28, 0);
    auto put32 = [&](size_t o, uint32_t v) {
      for (int i = 0; i < 4; ++i) d[o + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    d[0] = 0xF0;
    d[1] = 0xBE;
    d[2] = static_cast<uint8_t>(code);
    d[3] = static_cast<uint8_t>(code >> 8);
    put32(4, key);
    put32(8, id);
    put32(12, seq);
    put32(20, static_cast<uint32_t>(crc32(0L, d.data(), static_cast<uInt>(d.size()))));
    return d;
  }

 private:
  THeldPort socket_{SOCK_DGRAM};
  const int fd_ = socket_.Fd();
  sockaddr_in peer_{};
};

uint32_t U32(const std::vector<uint8_t>& d, size_t o) {
  return d[o] | (d[o + 1] << 8) | (d[o + 2] << 16) | (static_cast<uint32_t>(d[o + 3]) << 24);
}

TEST(VoiceClientTest, CommandsAreAcknowledgedAlwaysAndDeliveredOnce) {
  TFakeServer server;
  TVoiceClient client(server.Port());
  client.SendPing();  // lets the fake learn the client's address
  ASSERT_FALSE(server.Receive().empty());
  // Arrives before any login reply: still acknowledged with its own key and id.
  server.Send(TFakeServer::Command(cmd::PlayerJoined, 1, 77, 5));
  server.Send(TFakeServer::Command(cmd::PlayerJoined, 1, 77, 5));  // a retransmission
  server.Send(TFakeServer::Command(cmd::ListsEnd, 2, 77, 5));
  client.PumpFor(100);
  for (int i = 0; i < 3; ++i) {
    const auto ack = server.Receive();
    ASSERT_EQ(ack.size(), 16u);
    EXPECT_EQ(ack[0], 0xF1);
    EXPECT_EQ(U32(ack, 4), 77u);
    EXPECT_EQ(U32(ack, 8), 5u);
    EXPECT_EQ(U32(ack, 12), i < 2 ? 1u : 2u);
  }
  EXPECT_EQ(client.CommandsReceived, 2u);
  EXPECT_TRUE(client.WaitCommand(cmd::PlayerJoined, 10).has_value());
  EXPECT_FALSE(client.WaitCommand(cmd::PlayerJoined, 10).has_value());
  EXPECT_TRUE(client.WaitCommand(cmd::ListsEnd, 10).has_value());
}

TEST(VoiceClientTest, OwnCommandsGoOneAtATimeAndAreResent) {
  TFakeServer server;
  TVoiceClient client(server.Port());
  client.ResendMs = 30;
  client.QueueCommand(cmd::ServerInfo, {});
  client.QueueCommand(cmd::Logout, {});
  auto first = server.Receive();
  ASSERT_EQ(first.size(), 24u);
  EXPECT_EQ(U32(first, 12), 1u);
  client.PumpFor(80);  // no acknowledgement: the same command again, resend count 1
  auto again = server.Receive();
  ASSERT_EQ(again.size(), 24u);
  EXPECT_EQ(U32(again, 12), 1u);
  EXPECT_EQ(again[16], 1);
  EXPECT_EQ(again[2], cmd::ServerInfo & 0xFF);
  std::vector<uint8_t> ack(16, 0);
  ack[0] = 0xF1;
  ack[1] = 0xBE;
  ack[12] = 1;
  server.Send(ack);
  client.PumpFor(20);
  std::vector<uint8_t> second;
  do {
    second = server.Receive();  // skip further copies of the first
  } while (!second.empty() && U32(second, 12) == 1);
  ASSERT_EQ(second.size(), 24u);
  EXPECT_EQ(U32(second, 12), 2u);
  EXPECT_EQ(second[2] | (second[3] << 8), cmd::Logout);
}

}  // namespace
