#include "common/SingleConnection.h"

#include <gtest/gtest.h>

namespace {

constexpr uint32_t kPlayer = 7;
constexpr uint32_t kKey = 0x00ABCDEF;

class SingleConnectionTest : public ::testing::Test {
 protected:
  SingleConnectionTest() : conn(&clock) {
    conn.PlayerId = kPlayer;
    conn.SessionKey = kKey;
    conn.SetAddress("127.0.0.1", 4000);
    conn.SetMaintenanceStart(1);
  }
  std::unique_ptr<TPacket> Send() {
    THighPerformanceTime now(&clock);
    return conn.GetPacketToSend(now);
  }
  uint32_t TimeToNextSend() {
    THighPerformanceTime now(&clock);
    return conn.TimeToNextSend(now);
  }
  uint32_t TimeLeft() {
    THighPerformanceTime now(&clock);
    return conn.TimeLeft(now);
  }
  bool IsClosed() {
    THighPerformanceTime now(&clock);
    return conn.IsClosed(now);
  }
  void QueueCommand(uint16_t code = 0x100) { conn.CommandQueue.Push(NewCommandPacket(code, kPlayer)); }
  void Ack(TPacket& sent) {
    TCommandHeader h = sent.CommandHeader();
    conn.HandleAck(h.Sequence(), h.ResendCount());
  }

  TManualClock clock;
  TSingleConnection conn;
};

TEST_F(SingleConnectionTest, CommandsGoOneAtATimeEachAfterTheAcknowledgement) {
  for (int i = 0; i < 3; ++i) QueueCommand();
  for (uint32_t seq = 1; seq <= 3; ++seq) {
    auto sent = Send();
    ASSERT_TRUE(sent && sent->IsCommand());
    EXPECT_EQ(sent->CommandHeader().Sequence(), seq);
    EXPECT_EQ(sent->GetSessionKey(), kKey);
    EXPECT_TRUE(sent->IsValid());
    EXPECT_EQ(sent->Address, "127.0.0.1");
    EXPECT_EQ(sent->Port, 4000);
    clock.AdvanceMs(5);
    EXPECT_EQ(Send(), nullptr) << "a second command went out before the acknowledgement";
    Ack(*sent);
    EXPECT_EQ(conn.InFlight, nullptr);
  }
  EXPECT_EQ(conn.PacketsSent, 3u);
}

TEST_F(SingleConnectionTest, UnacknowledgedCommandIsResentAndItsAckCountsLoss) {
  QueueCommand();
  auto first = Send();
  EXPECT_EQ(TimeToNextSend(), 60u);
  clock.AdvanceMs(60);
  EXPECT_EQ(TimeToNextSend(), 0u);
  EXPECT_EQ(Send(), nullptr) << "resent at exactly the time-out";
  clock.AdvanceMs(1);
  auto again = Send();
  ASSERT_TRUE(again && again->IsCommand());
  EXPECT_EQ(again->CommandHeader().Sequence(), first->CommandHeader().Sequence());
  EXPECT_EQ(again->CommandHeader().ResendCount(), 1);
  EXPECT_TRUE(again->IsValid());
  EXPECT_EQ(TimeToNextSend(), 60u);

  EXPECT_FALSE(conn.HandleAck(99, 1)) << "wrong sequence number";
  EXPECT_EQ(conn.PacketsLost, 0);
  EXPECT_EQ(conn.PacketsReceived, 1u);
  EXPECT_TRUE(conn.HandleAck(1, 1));
  EXPECT_EQ(conn.PacketsLost, 1);
  EXPECT_EQ(conn.AverageRtt, 50) << "a resent command gave a round-trip sample";
  EXPECT_EQ(conn.RttIndex, 1);
  EXPECT_EQ(TimeToNextSend(), TSingleConnection::kNever);
}

TEST_F(SingleConnectionTest, AcknowledgementOfAFirstSendTakesARoundTripSample) {
  QueueCommand();
  auto sent = Send();
  clock.AdvanceMs(30);
  Ack(*sent);
  EXPECT_EQ(conn.RttSamples[1], 30);
  EXPECT_EQ(conn.RttIndex, 2);
  EXPECT_EQ(conn.AverageRtt, 49);  // (15 * 50 + 30) / 16 = 48.75
  EXPECT_EQ(conn.ResendTimeout, 58);  // 48.75 * 1.2 = 58.5, half to even
}

TEST_F(SingleConnectionTest, ResendTimeoutFollowsTheMeanWithATenMillisecondFloor) {
  for (int i = 0; i < 16; ++i) conn.AddRttSample(100);
  EXPECT_EQ(conn.AverageRtt, 100);
  EXPECT_EQ(conn.ResendTimeout, 120);
  for (int i = 0; i < 16; ++i) conn.AddRttSample(5);
  EXPECT_EQ(conn.AverageRtt, 5);
  EXPECT_EQ(conn.ResendTimeout, 10);
  // Sum 200: mean 12.5 rounds to 12.
  for (int i = 0; i < 15; ++i) conn.AddRttSample(12);
  conn.AddRttSample(20);
  EXPECT_EQ(conn.AverageRtt, 12);
  EXPECT_EQ(conn.ResendTimeout, 15);
  // Sum 220: 13.75 * 1.2 = 16.5 rounds to 16; sum 216: 13.5 rounds to 14.
  for (int i = 0; i < 15; ++i) conn.AddRttSample(14);
  conn.AddRttSample(10);
  EXPECT_EQ(conn.AverageRtt, 14);
  EXPECT_EQ(conn.ResendTimeout, 16);
  for (int i = 0; i < 8; ++i) conn.AddRttSample(13);
  for (int i = 0; i < 8; ++i) conn.AddRttSample(14);
  EXPECT_EQ(conn.AverageRtt, 14);
}

TEST_F(SingleConnectionTest, PriorityIsAcksResendCommandVoiceMaintenance) {
  conn.State = csConnected;
  QueueCommand();
  auto inFlight = Send();
  QueueCommand();
  conn.VoiceQueue.Push(NewVoiceS2CPacket(kPlayer, 3, 8));
  conn.MaintenanceQueue.Push(NewMaintenancePacket(kMaintenancePong, 0, kPlayer, 0, 4));
  conn.SendAck(1, 0, 24);
  clock.AdvanceMs(61);

  auto p = Send();
  EXPECT_TRUE(p->IsAck());
  p = Send();
  EXPECT_TRUE(p->IsCommand());
  EXPECT_EQ(p->CommandHeader().ResendCount(), 1);
  p = Send();
  EXPECT_TRUE(p->IsVoiceS2C()) << "the second command overtook the one in flight";
  p = Send();
  EXPECT_TRUE(p->IsMaintenance());
  EXPECT_EQ(p->MaintenanceHeader().Sequence(), 2u);
  EXPECT_EQ(p->GetSessionKey(), kKey);
  EXPECT_TRUE(p->IsValid());
  EXPECT_EQ(Send(), nullptr);
  Ack(*inFlight);
  p = Send();
  EXPECT_EQ(p->CommandHeader().Sequence(), 2u);
}

TEST_F(SingleConnectionTest, LoginReplyCarriesNoSessionKey) {
  conn.MaintenanceQueue.Push(NewMaintenancePacket(kMaintenanceLoginReply, 0, kPlayer, 0, 40));
  auto p = Send();
  EXPECT_EQ(p->GetSessionKey(), 0u);
  EXPECT_EQ(p->MaintenanceHeader().Sequence(), 2u);
}

TEST_F(SingleConnectionTest, VoiceCountersWrapAfter65535) {
  conn.VoiceCounterOut = 65533;
  std::vector<uint16_t> sent;
  for (int i = 0; i < 4; ++i) conn.VoiceQueue.Push(NewVoiceS2CPacket(kPlayer, 1, 4));
  while (auto p = Send()) sent.push_back(p->VoiceS2CHeader().Counter());
  EXPECT_EQ(sent, (std::vector<uint16_t>{65534, 65535, 0, 1}));

  conn.ReceiveVoiceCounter(1);
  EXPECT_EQ(conn.VoiceCounterIn, 2u);
  conn.ReceiveVoiceCounter(5);  // 2, 3, 4 missing
  EXPECT_EQ(conn.PacketsLost, 3);
  conn.ReceiveVoiceCounter(4);  // late: nothing changes
  EXPECT_EQ(conn.VoiceCounterIn, 6u);
  conn.ReceiveVoiceCounter(30000);  // a jump is no loss
  EXPECT_EQ(conn.PacketsLost, 3);
  conn.ReceiveVoiceCounter(65534);
  EXPECT_EQ(conn.VoiceCounterIn, 0u);
  conn.ReceiveVoiceCounter(0);
  EXPECT_EQ(conn.VoiceCounterIn, 1u);
  EXPECT_EQ(conn.PacketsLost, 3);
}

TEST_F(SingleConnectionTest, RelayedVoiceTooOldToSendIsSkippedAndCounted) {
  const int64_t now = TPacket::SteadyMs();
  // Arrival times: fresh, too old, not noted, too old.
  for (int64_t arrived : {now, now - TPacket::kStaleVoiceMs - 20, int64_t{0}, now - 1000}) {
    auto p = NewVoiceS2CPacket(kPlayer, 1, 4);
    p->ArrivedMs = arrived;
    conn.VoiceQueue.Push(std::move(p));
  }
  std::vector<uint16_t> sent;
  while (auto p = Send()) sent.push_back(p->VoiceS2CHeader().Counter());
  EXPECT_EQ(sent, (std::vector<uint16_t>{1, 2})) << "the counter numbers only what leaves";
  EXPECT_EQ(conn.StaleVoiceDropped, 2u);
}

TEST_F(SingleConnectionTest, MaintenanceSequenceDropsStalePacketsAndCountsGaps) {
  EXPECT_EQ(conn.MaintenanceSeqIn, 3u);
  EXPECT_FALSE(conn.ReceiveMaintenanceSequence(2));
  EXPECT_TRUE(conn.ReceiveMaintenanceSequence(3));
  EXPECT_TRUE(conn.ReceiveMaintenanceSequence(6));
  EXPECT_EQ(conn.PacketsLost, 2);
  EXPECT_FALSE(conn.ReceiveMaintenanceSequence(6));
}

TEST_F(SingleConnectionTest, RepeatedCommandIsAcknowledgedAgainButNotDelivered) {
  EXPECT_TRUE(conn.SendAck(1, 0, 30));
  EXPECT_FALSE(conn.SendAck(1, 1, 30));
  EXPECT_FALSE(conn.SendAck(3, 0, 30)) << "a command out of order was delivered";
  EXPECT_EQ(conn.ImmediateQueue.Count, 3);
  auto ack = Send();
  ASSERT_TRUE(ack->IsAck());
  EXPECT_EQ(ack->Size(), kAckSize);
  EXPECT_EQ(ack->AckHeader().Sequence(), 1u);
  EXPECT_EQ(ack->GetSessionKey(), kKey);
  EXPECT_EQ(ack->GetPlayerId(), kPlayer);
  EXPECT_EQ(Send()->AckHeader().ResendCount(), 1);
  EXPECT_EQ(conn.PacketsReceived, 3u);
  EXPECT_EQ(conn.BytesReceived, 90);
}

TEST_F(SingleConnectionTest, TimeOutsFollowTheState) {
  clock.AdvanceMs(1999);
  EXPECT_EQ(TimeLeft(), 1u);
  clock.AdvanceMs(1);
  EXPECT_EQ(TimeLeft(), 0u) << "login time-out";

  QueueCommand(kCommandListsEnd);
  auto sent = Send();
  conn.LastReceiveTime.Start();
  Ack(*sent);
  EXPECT_EQ(conn.State, csConnected);
  clock.AdvanceMs(14999);
  EXPECT_EQ(TimeLeft(), 1u);
  clock.AdvanceMs(1);
  EXPECT_EQ(TimeLeft(), 0u) << "connected time-out";
  EXPECT_FALSE(IsClosed()) << "timing out does not close";
}

TEST_F(SingleConnectionTest, DrainingClosesAfterTheLastAcknowledgement) {
  conn.State = csConnected;
  QueueCommand();
  auto first = Send();
  QueueCommand();  // queued with CloseAfter while the first is in flight
  conn.State = csDraining;
  EXPECT_EQ(Send(), nullptr);
  Ack(*first);
  EXPECT_EQ(conn.State, csDraining);
  auto last = Send();
  ASSERT_TRUE(last);
  EXPECT_EQ(conn.State, csClosing);
  EXPECT_EQ(TimeLeft(), 2000u);
  EXPECT_FALSE(IsClosed());
  Ack(*last);
  EXPECT_EQ(conn.State, csClosed);
  EXPECT_TRUE(IsClosed());
  EXPECT_EQ(TimeLeft(), 0u);
}

TEST_F(SingleConnectionTest, ClosingConnectionClosesAfterSilence) {
  conn.State = csConnected;
  QueueCommand();
  conn.State = csDraining;
  auto last = Send();
  ASSERT_EQ(conn.State, csClosing);
  clock.AdvanceMs(1999);
  EXPECT_FALSE(IsClosed());
  clock.AdvanceMs(1);
  EXPECT_TRUE(IsClosed());
  EXPECT_EQ(conn.State, csClosed);
}

TEST_F(SingleConnectionTest, LossIsAShareOfReceivedAndLostPackets) {
  EXPECT_EQ(conn.LossHundredths(), 0);
  conn.PacketsLost = 1;
  EXPECT_EQ(conn.LossHundredths(), 0) << "nothing received yet";
  conn.PacketsReceived = 2;
  EXPECT_EQ(conn.LossHundredths(), 3333);
  conn.PacketsReceived = 7;
  EXPECT_EQ(conn.LossHundredths(), 1250);
  conn.PacketsLost = int64_t{1} << 60;
  EXPECT_EQ(conn.LossHundredths(), 10000);
}

}  // namespace
