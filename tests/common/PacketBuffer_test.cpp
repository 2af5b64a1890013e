#include "common/PacketBuffer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <future>
#include <map>
#include <stdexcept>
#include <thread>
#include <vector>

#include "support/LogCapture.h"
#include "support/TransportDriver.h"

namespace {

using namespace transport_driver;
using Clock = std::chrono::steady_clock;

constexpr uint32_t kA = 11, kKeyA = 0x1111;
constexpr uint32_t kB = 22, kKeyB = 0x2222;

class PacketBufferTest : public ::testing::Test {
 protected:
  PacketBufferTest() : buffer(&clock) {}
  ~PacketBufferTest() override {
    // No transport threads run here: report them finished so that the
    // buffer's destructor does not wait for them.
    buffer.ThreadFinished(0);
    buffer.ThreadFinished(1);
  }

  // Stores a packet and returns the rejection text ("" when taken).
  std::string Store(std::unique_ptr<TPacket> p) {
    try {
      buffer.StoreReceivedPacket(std::move(p));
      return "";
    } catch (const ECustomPacketBuffer& e) {
      return e.what();
    }
  }
  // One listener attempt: the code, or -1 when there is nothing to report.
  int Poll(uint32_t* playerId = nullptr, std::unique_ptr<TPacket>* packet = nullptr) {
    uint32_t id = 0, hint = 0;
    int code = -1;
    std::unique_ptr<TPacket> p;
    if (!buffer.GetPacket(id, code, p, hint)) return -1;
    if (playerId) *playerId = id;
    if (packet) *packet = std::move(p);
    return code;
  }
  std::unique_ptr<TPacket> Next() {
    uint32_t hint;
    return buffer.NextPacketToSend(hint);
  }
  void DrainSender() {
    while (Next()) {
    }
  }
  uint8_t StateOf(uint32_t id) {
    uint8_t state = 0xFF;
    buffer.InspectConnection(id, [&](const TSingleConnection& c) { state = c.State; });
    return state;
  }

  TManualClock clock;
  TCustomPacketBuffer buffer;
};

TEST_F(PacketBufferTest, RejectsInvalidAndServerBoundPacketsBeforeLookingUpTheConnection) {
  TLogCapture log;
  auto bad = ClientCommand(999, 1, 1);
  bad->Memory()[22] ^= 1;
  EXPECT_EQ(Store(std::move(bad)), "Invalid Packet");
  EXPECT_EQ(Store(std::make_unique<TPacket>(5)), "Invalid Packet");
  EXPECT_EQ(Store(NewVoiceS2CPacket(999, 1, 4)), "S2C recv on Server");
  EXPECT_TRUE(log.Lines().empty()) << "a rejected packet reached the unknown-player check";
  const TBufferStatistics s = buffer.GetStatistics();
  EXPECT_EQ(s.PacketsReceived, 3u);
  EXPECT_EQ(s.BytesReceived, 24 + 5 + 26);
}

TEST_F(PacketBufferTest, LoginRequestGoesToTheListenerWithoutAConnection) {
  EXPECT_EQ(Store(ClientMaintenance(kMaintenanceLoginRequest, 0, 0, 1)), "");
  uint32_t id = 99;
  std::unique_ptr<TPacket> p;
  EXPECT_EQ(Poll(&id, &p), wpPacket);
  EXPECT_EQ(id, 0u);
  EXPECT_EQ(p->MaintenanceHeader().Subtype(), kMaintenanceLoginRequest);
  EXPECT_EQ(Poll(), -1);
}

TEST_F(PacketBufferTest, UnknownPlayerIdLogsOneLineAndNothingElse) {
  TLogCapture log;
  EXPECT_EQ(Store(ClientVoice(7, 1, 1)), "");
  const auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].Message, "playerid 7 not found");
  EXPECT_EQ(lines[0].Source, "StoreReceivedPacket");
  EXPECT_EQ(lines[0].Type, LMTERROR);
  EXPECT_EQ(lines[0].Depth, LMDALL);
  EXPECT_EQ(Poll(), -1);
  EXPECT_EQ(Next(), nullptr);
}

TEST_F(PacketBufferTest, UnknownPlayerIdLinesAreLimitedPerSecond) {
  TLogCapture log;
  for (uint32_t i = 0; i < 100; ++i) Store(ClientVoice(1000 + i, 1, 1));
  EXPECT_EQ(log.Messages().size(), 5u);
  clock.AdvanceMs(999);
  Store(ClientVoice(5, 1, 1));
  EXPECT_EQ(log.Messages().size(), 5u) << "the window ended early";
  clock.AdvanceMs(1);
  Store(ClientVoice(6, 1, 1));
  const auto messages = log.Messages();
  ASSERT_EQ(messages.size(), 7u);
  EXPECT_EQ(messages[5], "playerid not found: 96 more lines suppressed");
  EXPECT_EQ(messages[6], "playerid 6 not found");
}

TEST_F(PacketBufferTest, SuppressedCountIsReportedWhenTheBufferGoes) {
  TLogCapture log;
  {
    TCustomPacketBuffer other(&clock);
    other.ThreadFinished(0);
    other.ThreadFinished(1);
    for (uint32_t i = 0; i < 8; ++i) other.TryStoreReceivedPacket(ClientVoice(1000 + i, 1, 1));
  }
  const auto messages = log.Messages();
  ASSERT_EQ(messages.size(), 6u);
  EXPECT_EQ(messages.back(), "playerid not found: 3 more lines suppressed");
}

TEST_F(PacketBufferTest, WrongSessionKeyIsRejectedWithoutRefreshingTheConnection) {
  Connect(buffer, kA, kKeyA);
  clock.AdvanceMs(10000);
  EXPECT_EQ(Store(ClientVoice(kA, kKeyA + 1, 1)), "wrong Connection + player combo");
  clock.AdvanceMs(5000);
  uint32_t id = 0;
  EXPECT_EQ(Poll(&id), wpTimedOut);
  EXPECT_EQ(id, kA);
}

TEST_F(PacketBufferTest, DuplicatedCommandIsAcknowledgedTwiceAndDeliveredOnce) {
  Connect(buffer, kA, kKeyA);
  EXPECT_EQ(Store(ClientCommand(kA, kKeyA, 1)), "");
  EXPECT_EQ(Store(ClientCommand(kA, kKeyA, 1, 1)), "");
  std::unique_ptr<TPacket> p;
  EXPECT_EQ(Poll(nullptr, &p), wpPacket);
  EXPECT_EQ(p->CommandHeader().Sequence(), 1u);
  EXPECT_EQ(Poll(), -1);
  auto ack1 = Next(), ack2 = Next();
  ASSERT_TRUE(ack1 && ack2);
  EXPECT_TRUE(ack1->IsAck() && ack2->IsAck());
  EXPECT_EQ(ack1->AckHeader().Sequence(), 1u);
  EXPECT_EQ(ack2->AckHeader().ResendCount(), 1);
  EXPECT_EQ(ack2->GetSessionKey(), kKeyA);
  EXPECT_EQ(Next(), nullptr);
}

TEST_F(PacketBufferTest, CommandWhileClosingIsAcknowledgedButRefused) {
  Connect(buffer, kA, kKeyA);
  buffer.SendPacket(NewCommandPacket(0x65, kA), true);
  EXPECT_EQ(StateOf(kA), csDraining);
  EXPECT_EQ(Store(ClientCommand(kA, kKeyA, 1)), "recv command while closing.");
  EXPECT_EQ(Poll(), -1);
  auto first = Next();
  EXPECT_TRUE(first->IsAck()) << "the acknowledgement of the refused command stayed behind";
}

TEST_F(PacketBufferTest, VoiceIsRefusedDuringLoginAndDeliveredOnceConnected) {
  buffer.AddConnection(kA, kKeyA, 1, kClientPort, kClientAddress);
  EXPECT_EQ(Store(ClientVoice(kA, kKeyA, 1)), "Recv voice data during login");
  DrainSender();
  buffer.RemoveConnection(kA);
  Connect(buffer, kA, kKeyA);
  EXPECT_EQ(Store(ClientVoice(kA, kKeyA, 1)), "");
  EXPECT_EQ(Store(ClientVoice(kA, kKeyA, 4)), "");
  std::unique_ptr<TPacket> p;
  EXPECT_EQ(Poll(nullptr, &p), wpPacket);
  EXPECT_TRUE(p->IsVoiceC2S());
  EXPECT_EQ(Poll(), wpPacket);
  TConnectionInfo info = buffer.GetConnectionInfo(kA);
  EXPECT_EQ(info.SessionKey, kKeyA);
  // Received: the ack of the login command and two voice packets; lost: 2 and 3.
  EXPECT_EQ(info.PacketsReceived, 3u);
  EXPECT_EQ(info.Loss, 4000);
  EXPECT_EQ(info.Address, kClientAddress);
  EXPECT_EQ(info.Port, kClientPort);
  EXPECT_EQ(buffer.GetConnectionInfo(12345).SessionKey, 0u);
}

TEST_F(PacketBufferTest, PingIsAnsweredWithAPongOnlyWhenConnected) {
  buffer.AddConnection(kA, kKeyA, 1, kClientPort, kClientAddress);
  EXPECT_EQ(Store(ClientMaintenance(kMaintenancePing, kA, kKeyA, 3)), "");
  EXPECT_EQ(Next(), nullptr) << "a pong during login";
  buffer.RemoveConnection(kA);

  Connect(buffer, kA, kKeyA);
  auto ping = ClientMaintenance(kMaintenancePing, kA, kKeyA, 5);
  ping->SetAddress("127.0.0.9", 6001);
  ping->UpdateCRC();
  EXPECT_EQ(Store(std::move(ping)), "");
  EXPECT_EQ(Poll(), -1) << "the ping reached the listener";
  auto pong = Next();
  ASSERT_TRUE(pong);
  EXPECT_EQ(pong->Size(), kPongSize);
  ASSERT_TRUE(pong->IsMaintenance());
  EXPECT_TRUE(pong->IsValid());
  TMaintenanceHeader h = pong->MaintenanceHeader();
  EXPECT_EQ(h.Subtype(), kMaintenancePong);
  EXPECT_EQ(h.PlayerId(), kA);
  EXPECT_EQ(h.SessionKey(), kKeyA);
  EXPECT_EQ(h.Sequence(), 2u);
  EXPECT_EQ(wire::GetU32(pong->Memory() + 20), 5u);
  // The reply follows the client to its new address.
  EXPECT_EQ(pong->Address, "127.0.0.9");
  EXPECT_EQ(pong->Port, 6001);
  // A stale ping is dropped.
  EXPECT_EQ(Store(ClientMaintenance(kMaintenancePing, kA, kKeyA, 4)), "");
  EXPECT_EQ(Next(), nullptr);
  // A peer that pings faster than its pongs leave loses the pong, refused
  // by its text rather than by an error of the queue.
  uint32_t seq = 6;
  for (int i = 0; i < TSingleConnection::kQueueMax; ++i)
    ASSERT_EQ(Store(ClientMaintenance(kMaintenancePing, kA, kKeyA, seq++)), "");
  EXPECT_EQ(Store(ClientMaintenance(kMaintenancePing, kA, kKeyA, seq)), "reply queue full for this connection");
}

TEST_F(PacketBufferTest, SendPacketDropsSilentlyWhatCannotGo) {
  TLogCapture log;
  buffer.AddConnection(kA, kKeyA, 1, kClientPort, kClientAddress);
  EXPECT_STREQ(buffer.SendPacket(NewVoiceS2CPacket(kA, 1, 4), false),
               "Sending voice packet to pre connected, closing or closed connection");
  EXPECT_STREQ(buffer.SendPacket(NewAckPacket(kKeyA, kA, 1, 0), false), "Invalid packet on buffer");
  EXPECT_NE(buffer.SendPacket(NewCommandPacket(1, 4242), false), nullptr);
  EXPECT_EQ(buffer.SendPacket(NewCommandPacket(1, kA), true), nullptr);
  EXPECT_STREQ(buffer.SendPacket(NewCommandPacket(2, kA), false), "Sending packet to closing or closed connection");
  EXPECT_TRUE(log.Lines().empty());
  auto p = Next();
  EXPECT_EQ(p->CommandHeader().Command(), 1);
  EXPECT_EQ(Next(), nullptr);
}

TEST_F(PacketBufferTest, FullConnectionQueueIsAnsweredAndCountedNotRaised) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  for (int i = 0; i < TSingleConnection::kQueueMax; ++i) buffer.SendPacket(NewVoiceS2CPacket(kA, 1, 4), false);
  EXPECT_EQ(buffer.GetStatistics().SendsLost, 0u);
  EXPECT_STREQ(buffer.SendPacket(NewVoiceS2CPacket(kA, 1, 4), false), "Can't allocate needed memory");
  EXPECT_EQ(buffer.GetStatistics().SendsLost, 1u);

  // A batch goes on past a recipient whose command queue is full.
  for (int i = 0; i < TSingleConnection::kQueueMax; ++i) buffer.SendPacket(NewCommandPacket(300, kA), false);
  std::unique_ptr<TPacket> batch[] = {NewCommandPacket(301, kA), NewCommandPacket(301, kB)};
  EXPECT_EQ(buffer.SendPackets(batch, 2), 1u);
  EXPECT_EQ(buffer.GetStatistics().SendsLost, 2u);

  // A closing packet lost to the full queue closes the connection all the same.
  EXPECT_STREQ(buffer.SendPacket(NewCommandPacket(302, kA), true), "Can't allocate needed memory");
  EXPECT_NE(buffer.SendPacket(NewCommandPacket(303, kA), false), nullptr);
  EXPECT_EQ(buffer.GetStatistics().SendsLost, 3u) << "refused as closing, not lost";
}

TEST_F(PacketBufferTest, BatchSendQueuesWhatCanGoAndBoundsTheVoiceBacklog) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  buffer.AddConnection(33, 0x3333, 1, kClientPort, kClientAddress);  // still logging in
  for (int i = 1; i < TCustomPacketBuffer::kVoiceBacklog; ++i) buffer.SendPacket(NewVoiceS2CPacket(kB, 1, 4), false);
  buffer.SendEvent.ResetEvent();

  std::unique_ptr<TPacket> batch[] = {
      NewVoiceS2CPacket(kA, 9, 4),   // queued
      NewVoiceS2CPacket(kB, 9, 4),   // kB's backlog is full now
      NewVoiceS2CPacket(kB, 9, 4),   // dropped, not raised
      NewCommandPacket(5, kB),       // commands are not voice: queued
      NewVoiceS2CPacket(33, 9, 4),   // not connected yet
      NewVoiceS2CPacket(4242, 9, 4), // nobody
      NewCommandPacket(5, kA),       // queued
      nullptr,
  };
  EXPECT_EQ(buffer.SendPackets(batch, std::size(batch)), 4u);
  for (const auto& p : batch) EXPECT_EQ(p, nullptr) << "the buffer takes every packet";
  EXPECT_EQ(buffer.SendEvent.WaitFor(0), TWindowsEvent::wrSignaled) << "the sender is woken";

  int toA = 0, voiceToB = 0, commandsToB = 0;
  while (auto p = Next()) {
    if (p->GetPlayerId() == kA) ++toA;
    else if (p->IsVoiceS2C()) ++voiceToB;
    else ++commandsToB;
  }
  EXPECT_EQ(toA, 2);
  EXPECT_EQ(voiceToB, TCustomPacketBuffer::kVoiceBacklog);
  EXPECT_EQ(commandsToB, 1);
  // Once sent, the backlog takes voice again.
  std::unique_ptr<TPacket> more[] = {NewVoiceS2CPacket(kB, 9, 4)};
  EXPECT_EQ(buffer.SendPackets(more, 1), 1u);
  // Nothing queued, nothing to wake for.
  while (Next()) {
  }
  buffer.SendEvent.ResetEvent();
  std::unique_ptr<TPacket> none[] = {NewVoiceS2CPacket(4242, 9, 4)};
  EXPECT_EQ(buffer.SendPackets(none, 1), 0u);
  EXPECT_EQ(buffer.SendEvent.WaitFor(0), TWindowsEvent::wrTimeout);
}

// The relay's fan-out: at once where nothing waits, queued behind what does,
// dropped where the backlog is full or nobody is connected; one voice
// counter per connection across both ways.
TEST_F(PacketBufferTest, FanOutSendsAtOnceWhereNothingWaitsAndQueuesTheRest) {
  constexpr uint32_t kC = 44, kKeyC = 0x4444;
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  Connect(buffer, kC, kKeyC);
  buffer.AddConnection(33, 0x3333, 1, kClientPort, kClientAddress);  // still logging in
  DrainSender();
  buffer.SendPacket(NewCommandPacket(5, kB), false);
  for (int i = 0; i < TCustomPacketBuffer::kVoiceBacklog; ++i) buffer.SendPacket(NewVoiceS2CPacket(kC, 1, 4), false);
  buffer.SendEvent.ResetEvent();

  uint8_t header[kVoiceS2CHeaderSize] = {};
  wire::PutU16(header, kPacketVoiceS2C);
  wire::PutU32(header + 16, 77);  // the speaker
  const uint8_t payload[] = {9, 8, 7};
  const TVoiceRecipient to[] = {{kA, 2}, {kB, 2}, {kC, 2}, {33, 2}, {4242, 2}};
  TDirectVoice direct;
  ASSERT_TRUE(buffer.FanOutVoice(header, to, std::size(to), payload, sizeof payload, 0, &direct, false));
  ASSERT_EQ(direct.Count, 1u) << "only kA had nothing waiting";
  const uint8_t* h = direct.Entries[0].Header;
  EXPECT_EQ(wire::GetU16(h), kPacketVoiceS2C);
  EXPECT_EQ(h[2], 2);
  EXPECT_EQ(wire::GetU32(h + 4), kKeyA);
  EXPECT_EQ(wire::GetU32(h + 8), kA);
  EXPECT_EQ(wire::GetU16(h + 12), 1);
  EXPECT_EQ(wire::GetU32(h + 16), 77u);
  EXPECT_EQ(direct.Entries[0].Ip, ParseIPv4Address(kClientAddress));
  EXPECT_EQ(direct.Entries[0].Port, kClientPort);
  EXPECT_EQ(direct.Payload, payload);
  EXPECT_EQ(direct.PayloadSize, sizeof payload);
  EXPECT_EQ(buffer.SendEvent.WaitFor(0), TWindowsEvent::wrTimeout) << "told not to wake the sender";

  // Without a direct batch kA's copy is queued and counts on.
  ASSERT_TRUE(buffer.FanOutVoice(header, to, 1, payload, sizeof payload, 0, nullptr, true));
  EXPECT_EQ(buffer.SendEvent.WaitFor(0), TWindowsEvent::wrSignaled);
  int commandsToB = 0, voiceToB = 0, voiceToC = 0;
  std::vector<uint16_t> countersToA;
  while (auto p = Next()) {
    if (p->GetPlayerId() == kA) countersToA.push_back(p->VoiceS2CHeader().Counter());
    else if (p->GetPlayerId() == kC) ++voiceToC;
    else if (p->IsCommand()) ++commandsToB;
    else {
      EXPECT_EQ(commandsToB, 1) << "voice overtook the command queued before it";
      EXPECT_EQ(p->Size(), kVoiceS2CHeaderSize + sizeof payload);
      EXPECT_EQ(p->Memory()[kVoiceS2CHeaderSize], 9);
      ++voiceToB;
    }
    EXPECT_NE(p->GetPlayerId(), 33u);
  }
  EXPECT_EQ(countersToA, std::vector<uint16_t>{2});
  EXPECT_EQ(voiceToB, 1);
  EXPECT_EQ(voiceToC, TCustomPacketBuffer::kVoiceBacklog) << "a full backlog took another copy";
  EXPECT_EQ(buffer.GetConnectionInfo(kA).PacketsSent, 3u) << "the login reply and both frames";
}

TEST_F(PacketBufferTest, TwoConnectionsTakeTurns) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  for (int i = 0; i < 10; ++i) buffer.SendPacket(NewVoiceS2CPacket(kA, 1, 4), false);
  for (int i = 0; i < 10; ++i) buffer.SendPacket(NewVoiceS2CPacket(kB, 1, 4), false);
  std::string order;
  while (auto p = Next()) order += p->GetPlayerId() == kA ? 'A' : 'B';
  EXPECT_EQ(order, "ABABABABABABABABABAB");
}

// A batch must release what single calls would, in the same order: a
// command before voice within a connection, one packet per connection per
// round, nothing of a connection removed while its packets waited, and a
// helping thread must not eat the sender thread's wake-up.
TEST_F(PacketBufferTest, BatchesReleaseInTheOrderOfSingleCalls) {
  constexpr uint32_t kC = 33;
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  Connect(buffer, kC, 0x3333);
  DrainSender();
  buffer.SendPacket(NewVoiceS2CPacket(kA, 1, 4), false);
  buffer.SendPacket(NewCommandPacket(0x0100, kA), false);
  buffer.SendPacket(NewVoiceS2CPacket(kA, 1, 4), false);
  buffer.SendPacket(NewVoiceS2CPacket(kC, 1, 4), false);
  buffer.SendPacket(NewVoiceS2CPacket(kB, 1, 4), false);
  buffer.SendPacket(NewVoiceS2CPacket(kB, 1, 4), false);
  buffer.RemoveConnection(kC);
  const uint32_t sentBefore = buffer.GetStatistics().PacketsSent;

  std::string order;
  std::unique_ptr<TPacket> batch[3];
  uint32_t hint;
  for (size_t n; (n = buffer.NextPacketsToSend(batch, std::size(batch), hint, false)) > 0;) {
    for (size_t i = 0; i < n; ++i) {
      order += batch[i]->GetPlayerId() == kA ? 'A' : 'B';
      order += batch[i]->IsCommand() ? 'c' : 'v';
    }
    order += '|';
  }
  EXPECT_EQ(order, "AcBvAv|BvAv|");
  EXPECT_EQ(buffer.GetStatistics().PacketsSent, sentBefore + 5);
  EXPECT_EQ(buffer.SendEvent.WaitFor(0), TWindowsEvent::wrSignaled) << "left for the sender thread";
  EXPECT_NE(hint, TCustomPacketBuffer::kNever) << "the command in flight has a resend deadline";
}

// Voice that nothing waits ahead of is handed back to be relayed at once;
// behind a queued packet, or while the listener still acts on one, it is
// queued so that it cannot overtake a command.
TEST_F(PacketBufferTest, VoiceIsHandedBackOnlyWhenNothingWaitsAheadOfIt) {
  Connect(buffer, kA, kKeyA);
  uint16_t counter = 1;
  std::unique_ptr<TPacket> relay;
  auto store = [&](std::unique_ptr<TPacket> p) {
    relay.reset();
    EXPECT_EQ(buffer.TryStoreReceivedPacket(std::move(p), &relay), nullptr);
    return relay != nullptr;
  };
  EXPECT_TRUE(store(ClientVoice(kA, kKeyA, counter++)));
  EXPECT_EQ(Poll(), -1) << "a handed-back frame is not queued as well";

  EXPECT_FALSE(store(ClientCommand(kA, kKeyA, 1)));
  EXPECT_FALSE(store(ClientVoice(kA, kKeyA, counter++))) << "queued behind the command";
  std::unique_ptr<TPacket> got;
  ASSERT_EQ(Poll(nullptr, &got), wpPacket);
  EXPECT_TRUE(got->IsCommand());
  EXPECT_FALSE(store(ClientVoice(kA, kKeyA, counter++))) << "the listener is acting on the command";
  ASSERT_EQ(Poll(nullptr, &got), wpPacket);
  EXPECT_TRUE(got->IsVoiceC2S());
  ASSERT_EQ(Poll(nullptr, &got), wpPacket);
  EXPECT_TRUE(got->IsVoiceC2S());
  EXPECT_EQ(Poll(), -1);
  EXPECT_TRUE(store(ClientVoice(kA, kKeyA, counter++))) << "the listener came back and found nothing";
  relay.reset();
  EXPECT_NE(buffer.TryStoreReceivedPacket(ClientVoice(kA, 0x999, counter++), &relay), nullptr);
  EXPECT_EQ(relay, nullptr) << "a frame with a wrong key is refused, not handed back";
}

TEST_F(PacketBufferTest, ResendDeadlineIsTheSendersWakeUpHint) {
  Connect(buffer, kA, kKeyA);
  buffer.SendPacket(NewCommandPacket(3, kA), false);
  auto first = Next();
  uint32_t hint = 0;
  EXPECT_EQ(buffer.NextPacketToSend(hint), nullptr);
  EXPECT_EQ(hint, 60u);
  clock.AdvanceMs(61);
  auto again = buffer.NextPacketToSend(hint);
  ASSERT_TRUE(again);
  EXPECT_EQ(again->CommandHeader().ResendCount(), 1);
  buffer.StoreReceivedPacket(ClientAckOf(*again));
  EXPECT_EQ(buffer.NextPacketToSend(hint), nullptr);
  EXPECT_EQ(hint, TCustomPacketBuffer::kNever);
  TConnectionInfo info = buffer.GetConnectionInfo(kA);
  EXPECT_EQ(info.AverageRtt, 50) << "a resent command gave a round-trip sample";
}

TEST_F(PacketBufferTest, TimedOutConnectionIsReportedUntilRemovedWhileOthersStillDeliver) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  clock.AdvanceMs(14000);
  Store(ClientVoice(kB, kKeyB, 1));
  clock.AdvanceMs(1000);
  uint32_t id = 0;
  std::unique_ptr<TPacket> p;
  EXPECT_EQ(Poll(&id), wpTimedOut);
  EXPECT_EQ(id, kA);
  EXPECT_EQ(Poll(&id), wpTimedOut) << "reported once only";
  buffer.RemoveConnection(kA);
  EXPECT_EQ(Poll(&id, &p), wpPacket);
  EXPECT_EQ(id, kB);
  EXPECT_EQ(Poll(), -1);
}

TEST_F(PacketBufferTest, TwoSilentConnectionsAreReportedInTurn) {
  buffer.AddConnection(kA, kKeyA, 1, 1, "127.0.0.1");
  buffer.AddConnection(kB, kKeyB, 1, 1, "127.0.0.1");
  uint32_t hint = 0, id = 0;
  int code = -1;
  std::unique_ptr<TPacket> p;
  EXPECT_FALSE(buffer.GetPacket(id, code, p, hint));
  EXPECT_EQ(hint, 2000u);
  clock.AdvanceMs(1500);
  EXPECT_FALSE(buffer.GetPacket(id, code, p, hint));
  EXPECT_EQ(hint, 500u);
  clock.AdvanceMs(500);
  std::vector<uint32_t> reported;
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(Poll(&id), wpTimedOut);
    reported.push_back(id);
  }
  EXPECT_EQ(reported, (std::vector<uint32_t>{kA, kB, kA, kB}));
}

TEST_F(PacketBufferTest, TimeOutsAndClosuresComeBeforeQueuedPackets) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  Store(ClientVoice(kB, kKeyB, 1));
  buffer.SendPacket(NewCommandPacket(0x65, kA), true);
  auto last = Next();
  EXPECT_EQ(StateOf(kA), csClosing);
  buffer.StoreReceivedPacket(ClientAckOf(*last));
  EXPECT_EQ(StateOf(kA), csClosed);
  uint32_t id = 0;
  EXPECT_EQ(Poll(&id), wpClosed);
  EXPECT_EQ(id, kA);
  EXPECT_EQ(Store(ClientVoice(kA, kKeyA, 2)), "recv data after close");
  buffer.SendPacket(NewVoiceS2CPacket(kB, 1, 4), false);
  auto p = Next();
  EXPECT_EQ(p->GetPlayerId(), kB) << "a closed connection still sends";
  buffer.RemoveConnection(kA);
  EXPECT_EQ(Poll(&id), wpPacket);
  EXPECT_EQ(id, kB);
}

TEST_F(PacketBufferTest, ClosingConnectionClosesAfterTwoSecondsOfSilence) {
  Connect(buffer, kA, kKeyA);
  clock.AdvanceMs(100);
  buffer.SendPacket(NewCommandPacket(0x65, kA), true);
  Next();
  clock.AdvanceMs(1999);
  Store(ClientVoice(kA, kKeyA, 1));  // heard from: the silence starts again
  std::unique_ptr<TPacket> voice;
  EXPECT_EQ(Poll(nullptr, &voice), wpPacket);
  clock.AdvanceMs(1999);
  uint32_t id = 0;
  EXPECT_EQ(Poll(&id), -1);
  clock.AdvanceMs(1);
  EXPECT_EQ(Poll(&id), wpClosed);
  EXPECT_EQ(StateOf(kA), csClosed);
  EXPECT_EQ(Next(), nullptr) << "a closed connection resent its command";
}

TEST_F(PacketBufferTest, NewestConnectionOfAPlayerIdIsFoundFirst) {
  buffer.AddConnection(kA, kKeyA, 1, 1, "127.0.0.1");
  buffer.AddConnection(kA, kKeyB, 1, 2, "127.0.0.2");
  EXPECT_EQ(buffer.ConnectionCount(), 2);
  EXPECT_EQ(buffer.GetConnectionInfo(kA).SessionKey, kKeyB);
  // Each connection answers to its own key, the older one included.
  EXPECT_EQ(Store(ClientVoice(kA, kKeyA, 1)), "Recv voice data during login");
  EXPECT_EQ(Store(ClientVoice(kA, 0x9999, 1)), "wrong Connection + player combo");
  buffer.RemoveConnection(kA);
  EXPECT_EQ(buffer.GetConnectionInfo(kA).SessionKey, kKeyA);
  buffer.RemoveConnection(kA);
  buffer.RemoveConnection(kA);
  EXPECT_EQ(buffer.ConnectionCount(), 0);
}

// A refused login lingers in login state while its player id is handed out
// again; its time-out must be told apart from the live connection.
TEST_F(PacketBufferTest, TimedOutConnectionSharingAnIdIsReportedAndRemovedByItsKey) {
  buffer.AddConnection(kA, kKeyA, 1, 1, "127.0.0.1");
  clock.AdvanceMs(1000);
  Connect(buffer, kA, kKeyB);
  clock.AdvanceMs(1000);
  uint32_t id = 0, key = 0, hint = 0;
  int code = -1;
  std::unique_ptr<TPacket> p;
  ASSERT_TRUE(buffer.GetPacket(id, key, code, p, hint));
  EXPECT_EQ(code, wpTimedOut);
  EXPECT_EQ(id, kA);
  EXPECT_EQ(key, kKeyA);
  buffer.RemoveConnection(kA, kKeyA);
  EXPECT_EQ(buffer.ConnectionCount(), 1);
  EXPECT_EQ(buffer.GetConnectionInfo(kA).SessionKey, kKeyB);
  buffer.RemoveConnection(kA, kKeyA);  // gone already: nothing happens
  EXPECT_EQ(buffer.ConnectionCount(), 1);

  Store(ClientVoice(kA, kKeyB, 1));
  ASSERT_TRUE(buffer.GetPacket(id, key, code, p, hint));
  EXPECT_EQ(code, wpPacket);
  EXPECT_EQ(key, kKeyB);
  buffer.RemoveConnection(kA, kKeyB);
  EXPECT_EQ(buffer.ConnectionCount(), 0);
}

// Lingering login connections (a login flood leaves thousands) expire one
// by one in deadline order, and the hint always names the next one.
TEST_F(PacketBufferTest, ManyLingeringConnectionsExpireInDeadlineOrder) {
  Connect(buffer, kA, kKeyA);
  for (uint32_t id = 100; id < 200; ++id) {
    buffer.AddConnection(id, id, 1, 1, "127.0.0.1");
    clock.AdvanceMs(10);
  }
  // 1000 ms in: nothing is due; the first login connection is due in 1000 ms.
  uint32_t id = 0, key = 0, hint = 0;
  int code = -1;
  std::unique_ptr<TPacket> p;
  EXPECT_FALSE(buffer.GetPacket(id, key, code, p, hint));
  EXPECT_EQ(hint, 1000u);
  clock.AdvanceMs(1000);
  for (uint32_t expected = 100; expected < 200; ++expected) {
    Store(ClientVoice(kA, kKeyA, static_cast<uint16_t>(expected)));  // the connected player keeps talking
    ASSERT_TRUE(buffer.GetPacket(id, key, code, p, hint));
    ASSERT_EQ(code, wpTimedOut);
    EXPECT_EQ(id, expected);
    EXPECT_EQ(key, expected);
    buffer.RemoveConnection(id, key);
    ASSERT_TRUE(buffer.GetPacket(id, key, code, p, hint));
    EXPECT_EQ(code, wpPacket);
    if (expected + 1 < 200) {
      EXPECT_FALSE(buffer.GetPacket(id, key, code, p, hint));
      EXPECT_EQ(hint, 10u);
      clock.AdvanceMs(10);
    }
  }
  EXPECT_EQ(buffer.ConnectionCount(), 1);
}

TEST_F(PacketBufferTest, DestroyReleasesBothBlockedThreadsAtOnce) {
  auto buffer2 = std::make_unique<TCustomPacketBuffer>();
  auto listener = std::async(std::launch::async, [&] {
    uint32_t id = 1;
    std::unique_ptr<TPacket> p;
    const int code = buffer2->WaitForPacket(id, p);
    buffer2->ThreadFinished(1);
    return code;
  });
  auto sender = std::async(std::launch::async, [&] {
    auto p = buffer2->GetPacketToSend();
    buffer2->ThreadFinished(0);
    return p == nullptr;
  });
  // Both threads are blocked: neither has anything to do.
  EXPECT_EQ(listener.wait_for(std::chrono::milliseconds(100)), std::future_status::timeout);
  EXPECT_EQ(sender.wait_for(std::chrono::milliseconds(0)), std::future_status::timeout);
  const auto start = Clock::now();
  buffer2->Shutdown();
  const auto took = Clock::now() - start;
  EXPECT_EQ(listener.get(), wpClosing);
  EXPECT_TRUE(sender.get());
  EXPECT_LT(took, std::chrono::milliseconds(1500)) << "destroy waited for its time-out";
  uint32_t id = 5;
  std::unique_ptr<TPacket> p;
  EXPECT_EQ(buffer2->WaitForPacket(id, p), wpClosing);
  EXPECT_EQ(id, 0u);
  buffer2.reset();
}

// A listener asleep on an earlier hint must not report a closure late.
TEST_F(PacketBufferTest, BlockedListenerWakesWhenAConnectionStartsClosing) {
  Connect(buffer, kA, kKeyA);
  clock.AdvanceMs(2000);
  EXPECT_EQ(Poll(), -1);
  auto listener = std::async(std::launch::async, [&] {
    uint32_t id = 0;
    std::unique_ptr<TPacket> p;
    return buffer.WaitForPacket(id, p) == wpClosed && id == kA;
  });
  // Asleep on the rest of the connected time-out: 13 s of real time.
  EXPECT_EQ(listener.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  buffer.SendPacket(NewCommandPacket(0x65, kA), true);
  Next();  // closing now, after 2000 ms of silence: closed
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(7)), std::future_status::ready);
  EXPECT_TRUE(listener.get());
}

TEST_F(PacketBufferTest, BlockedListenerWakesWhenAnAcknowledgementClosesTheConnection) {
  Connect(buffer, kA, kKeyA);
  buffer.SendPacket(NewCommandPacket(0x65, kA), true);
  auto last = Next();
  auto listener = std::async(std::launch::async, [&] {
    uint32_t id = 0;
    std::unique_ptr<TPacket> p;
    return buffer.WaitForPacket(id, p) == wpClosed && id == kA;
  });
  // Asleep on the closing time-out: 2 s of real time.
  EXPECT_EQ(listener.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  const auto start = Clock::now();
  buffer.StoreReceivedPacket(ClientAckOf(*last));
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500));
  EXPECT_TRUE(listener.get());
}

TEST_F(PacketBufferTest, BlockedListenerWakesForAReceivedPacket) {
  auto listener = std::async(std::launch::async, [&] {
    uint32_t id = 0;
    std::unique_ptr<TPacket> p;
    const int code = buffer.WaitForPacket(id, p);
    return code == wpPacket && p && p->IsMaintenance();
  });
  EXPECT_EQ(listener.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  Store(ClientMaintenance(kMaintenanceLoginRequest, 0, 0, 1));
  ASSERT_EQ(listener.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  EXPECT_TRUE(listener.get());
}

}  // namespace

namespace {

template <typename P>
std::unique_ptr<P> From(std::unique_ptr<P> p, const char* address, uint16_t port) {
  p->SetAddress(address, port);
  return p;
}

}  // namespace

// A command is acknowledged only once the listener will see it: one peer's
// flood fills its own share of the received queue, and its command then
// finds no room, goes unacknowledged and arrives when resent. Another
// connection and login requests are not held up by it.
TEST_F(PacketBufferTest, FloodFillsOnlyTheFloodersShareAndUnqueuedCommandsAreNotAcknowledged) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  int refused = 0;
  for (uint16_t n = 1; n <= 200; ++n) refused += Store(ClientVoice(kA, kKeyA, n)) != "";
  EXPECT_EQ(refused, 200 - TCustomPacketBuffer::kReceivedShare);
  EXPECT_NE(Store(ClientCommand(kA, kKeyA, 1)), "");
  EXPECT_EQ(Next(), nullptr) << "a command that was not queued was acknowledged";
  EXPECT_EQ(Store(ClientCommand(kB, kKeyB, 1)), "");
  for (int n = 0; n < TCustomPacketBuffer::kLoginQueueMax + 10; ++n)
    Store(ClientMaintenance(kMaintenanceLoginRequest, 0, 0, 1));

  // The listener serves the received queue and the logins in turn.
  int logins = 0, fromA = 0, fromB = 0;
  for (std::unique_ptr<TPacket> p; Poll(nullptr, &p) == wpPacket; p.reset()) {
    if (p->GetPlayerId() == 0) ++logins;
    else (p->GetPlayerId() == kA ? fromA : fromB)++;
    if (fromA + fromB < TCustomPacketBuffer::kReceivedShare) {
      ASSERT_LE(logins, fromA + fromB) << "no turns taken";
    }
  }
  EXPECT_EQ(logins, TCustomPacketBuffer::kLoginQueueMax);
  EXPECT_EQ(fromA, TCustomPacketBuffer::kReceivedShare);
  EXPECT_EQ(fromB, 1);
  auto ack = Next();
  ASSERT_TRUE(ack && ack->IsAck());
  EXPECT_EQ(ack->GetPlayerId(), kB);
  EXPECT_EQ(Store(ClientCommand(kA, kKeyA, 1, 1)), "");
  std::unique_ptr<TPacket> resent;
  EXPECT_EQ(Poll(nullptr, &resent), wpPacket);
  EXPECT_TRUE(resent->IsCommand());
  ack = Next();
  ASSERT_TRUE(ack && ack->IsAck());
  EXPECT_EQ(ack->GetPlayerId(), kA);
}

// Refused logins share player ids; each is found and removed by its own key,
// lives its login time-out from creation whatever its peer sends, and only
// so many exist at once.
TEST_F(PacketBufferTest, RefusedConnectionsLiveTheirTimeOutAtMostAndAreCapped) {
  constexpr uint32_t kRefusedId = 1;
  const int total = TCustomPacketBuffer::kMaxRefused + 100;
  for (int k = 1; k <= total; ++k)
    buffer.AddConnection(kRefusedId, static_cast<uint32_t>(k), 1, kClientPort, kClientAddress, true);
  EXPECT_EQ(buffer.ConnectionCount(), TCustomPacketBuffer::kMaxRefused);
  buffer.RemoveConnection(kRefusedId, total - 1);
  EXPECT_EQ(buffer.ConnectionCount(), TCustomPacketBuffer::kMaxRefused - 1);
  EXPECT_EQ(buffer.GetConnectionInfo(kRefusedId).SessionKey, static_cast<uint32_t>(total));

  clock.AdvanceMs(1500);
  for (uint32_t seq = 2; seq < 10; ++seq)
    Store(ClientMaintenance(kMaintenancePing, kRefusedId, total, seq));  // its peer keeps sending
  clock.AdvanceMs(600);
  uint32_t id = 0, key = 0, hint = 0;
  int code = -1;
  std::unique_ptr<TPacket> p;
  int expired = 0;
  bool newestExpired = false;
  while (buffer.GetPacket(id, key, code, p, hint) && code == wpTimedOut) {
    newestExpired |= key == static_cast<uint32_t>(total);
    buffer.RemoveConnection(id, key);
    ++expired;
  }
  EXPECT_TRUE(newestExpired) << "datagrams kept a refused connection alive";
  EXPECT_EQ(expired, TCustomPacketBuffer::kMaxRefused - 1);
  EXPECT_EQ(buffer.ConnectionCount(), 0);
}

// The reply address moves only with a datagram that passes the sequence
// checks, and never to an address that has been trying keys.
TEST_F(PacketBufferTest, ReplyAddressMovesOnlyWithFreshDatagramsFromUnsuspectedSources) {
  Connect(buffer, kA, kKeyA);
  auto portOf = [&] { return buffer.GetConnectionInfo(kA).Port; };
  Store(From(ClientMaintenance(kMaintenancePing, kA, kKeyA, 0), "10.0.0.9", 6000));  // stale
  auto stray = NewAckPacket(kKeyA, kA, 77, 0);
  Store(From(std::move(stray), "10.0.0.9", 6000));  // acknowledges nothing
  EXPECT_EQ(portOf(), kClientPort);
  EXPECT_EQ(buffer.GetConnectionInfo(kA).Address, kClientAddress);

  for (uint32_t key = 1; key <= TWrongKeyGuard::kFreeWrongKeys + 1; ++key)
    EXPECT_EQ(Store(From(ClientVoice(kA, key, 1), "10.0.0.66", 7000)), "wrong Connection + player combo");
  EXPECT_NE(Store(From(ClientCommand(kA, kKeyA, 1), "10.0.0.66", 7000)), "");
  EXPECT_EQ(portOf(), kClientPort);
  EXPECT_EQ(Store(ClientCommand(kA, kKeyA, 1)), "") << "the session's own address was blocked";

  // Sources no reply can go to are not heard at all.
  for (const auto& [address, port] : {std::pair<const char*, uint16_t>{"10.0.0.9", 0}, {"255.255.255.255", 6000},
                                      {"224.0.0.1", 6000}, {"0.0.0.0", 6000}}) {
    EXPECT_EQ(Store(From(ClientCommand(kA, kKeyA, 2), address, port)), "source cannot be answered");
    EXPECT_EQ(Store(From(ClientMaintenance(kMaintenanceLoginRequest, 0, 0, 1), address, port)),
              "source cannot be answered");
  }
  EXPECT_EQ(portOf(), kClientPort);
  EXPECT_EQ(Store(From(ClientCommand(kA, kKeyA, 2), "10.0.0.9", 6000)), "");
  EXPECT_EQ(portOf(), 6000);
  EXPECT_EQ(buffer.GetConnectionInfo(kA).Address, "10.0.0.9");
}

// ---- notices shared by many recipients -------------------------------------------

namespace {
const uint8_t kJoined[] = {7, 0, 0, 0, 1, 0};  // a notice about player 7
const uint8_t kLeft[] = {7, 0, 0, 0, 3, 0};
}  // namespace

TEST_F(PacketBufferTest, SharedNoticesKeepTheirPlaceAmongEachRecipientsCommands) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  const uint32_t both[] = {kA, kB};
  buffer.SendPacket(NewCommandPacket(300, kA), false);
  EXPECT_EQ(buffer.SendNotice(100, kJoined, sizeof kJoined, both, 2), 2u);
  EXPECT_EQ(buffer.SendNotice(100, kLeft, sizeof kLeft, both, 2), 2u);
  buffer.SendPacket(NewCommandPacket(301, kA), false);
  // Told after the player it names has left: the recipient still learns it
  // entered first, then that it left, as queued.
  EXPECT_EQ(buffer.SendNotice(101, kLeft, sizeof kLeft, both, 2), 2u);
  EXPECT_EQ(buffer.NoticesHeld(), 3u);

  std::map<uint32_t, std::vector<std::pair<uint16_t, uint8_t>>> got;  // code and the payload's byte 4
  std::map<uint32_t, uint32_t> lastSequence{{kA, 1}, {kB, 1}};
  while (auto p = Next()) {
    ASSERT_TRUE(p->IsCommand());
    TCommandHeader h = p->CommandHeader();
    const uint32_t id = h.PlayerId();
    EXPECT_EQ(h.SessionKey(), id == kA ? kKeyA : kKeyB);
    EXPECT_EQ(h.Sequence(), ++lastSequence[id]);
    const bool notice = h.Command() == 100 || h.Command() == 101;
    if (notice) {
      ASSERT_EQ(p->Size(), kCommandHeaderSize + sizeof kJoined);
      EXPECT_EQ(wire::GetU32(p->Memory() + 24), 7u);
    }
    got[id].emplace_back(h.Command(), notice ? p->Memory()[28] : 0);
    EXPECT_EQ(Store(ClientAckOf(*p)), "");
  }
  using C = std::vector<std::pair<uint16_t, uint8_t>>;
  EXPECT_EQ(got[kA], C({{300, 0}, {100, 1}, {100, 3}, {301, 0}, {101, 3}}));
  EXPECT_EQ(got[kB], C({{100, 1}, {100, 3}, {101, 3}}));
  EXPECT_EQ(buffer.NoticesHeld(), 0u) << "sent notices are still kept";
}

TEST_F(PacketBufferTest, SharedNoticesGoOnlyToOpenConnectionsAndAreGivenBackByOnesThatGo) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  const uint32_t both[] = {kA, kB};
  for (int i = 0; i < 3; ++i) buffer.SendNotice(100, kJoined, sizeof kJoined, both, 2);
  buffer.RemoveConnection(kB);
  EXPECT_EQ(buffer.NoticesHeld(), 3u) << "A still has them to send";

  buffer.SendPacket(NewCommandPacket(300, kA), true);  // A drains after this
  const uint32_t nobodyOpen[] = {kA, kB, 99};
  EXPECT_EQ(buffer.SendNotice(101, kLeft, sizeof kLeft, nobodyOpen, 3), 0u);
  EXPECT_EQ(buffer.NoticesHeld(), 3u) << "a notice nobody takes was kept";

  std::vector<uint16_t> codes;
  while (auto p = Next()) {
    codes.push_back(p->CommandHeader().Command());
    EXPECT_EQ(StateOf(kA), codes.size() < 4 ? csDraining : csClosing) << "closing before the last command";
    Store(ClientAckOf(*p));
  }
  EXPECT_EQ(codes, std::vector<uint16_t>({100, 100, 100, 300}));
  EXPECT_EQ(StateOf(kA), csClosed);
  EXPECT_EQ(buffer.NoticesHeld(), 0u);

  // A recipient whose queue is full loses the notice, as a command packet would be lost.
  Connect(buffer, kB, kKeyB);
  buffer.SendPacket(NewCommandPacket(300, kB), false);  // in flight, unacknowledged
  Next();
  for (int i = 0; i < TSingleConnection::kQueueMax; ++i) buffer.SendPacket(NewCommandPacket(300, kB), false);
  const uint64_t lostBefore = buffer.GetStatistics().SendsLost;
  EXPECT_EQ(buffer.SendNotice(100, kJoined, sizeof kJoined, both + 1, 1), 0u);
  EXPECT_EQ(buffer.GetStatistics().SendsLost, lostBefore + 1);
  EXPECT_STREQ(buffer.SendPacket(NewCommandPacket(300, kB), false), "Can't allocate needed memory");

  // A payload too large to log is refused whole, never sent cut short.
  const uint8_t large[TNoticeLog::kMaxPayload + 1] = {};
  EXPECT_EQ(buffer.SendNotice(100, large, sizeof large, both, 1), 0u);
  EXPECT_EQ(buffer.GetStatistics().SendsLost, lostBefore + 3);
  EXPECT_EQ(buffer.NoticesHeld(), 0u);
}

TEST_F(PacketBufferTest, ANoticeInFlightIsBuiltOnceAndResentUntilAcknowledged) {
  Connect(buffer, kA, kKeyA);
  const uint32_t a[] = {kA};
  buffer.SendNotice(100, kJoined, sizeof kJoined, a, 1);
  auto first = Next();
  ASSERT_TRUE(first && first->IsCommand());
  EXPECT_EQ(buffer.NoticesHeld(), 0u) << "the notice is kept besides its copy in flight";
  EXPECT_EQ(Next(), nullptr);
  clock.AdvanceMs(61);
  auto again = Next();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->CommandHeader().ResendCount(), 1);
  EXPECT_EQ(again->CommandHeader().Sequence(), first->CommandHeader().Sequence());
  ASSERT_EQ(again->Size(), first->Size());
  EXPECT_EQ(std::memcmp(again->Memory() + 24, first->Memory() + 24, sizeof kJoined), 0);
  Store(ClientAckOf(*again));
  clock.AdvanceMs(1000);
  EXPECT_EQ(Next(), nullptr) << "an acknowledged notice was sent again";
}

TEST_F(PacketBufferTest, ARecipientThatTakesNoNoticeKeepsOnlyItsOwn) {
  Connect(buffer, kA, kKeyA);
  Connect(buffer, kB, kKeyB);
  buffer.SendPacket(NewCommandPacket(300, kA), false);
  ASSERT_TRUE(Next());  // A never acknowledges it, so its notices wait
  const uint32_t both[] = {kA, kB};
  buffer.SendNotice(100, kJoined, sizeof kJoined, both, 2);
  for (int i = 0; i < 5; ++i) buffer.SendNotice(101, kLeft, sizeof kLeft, both + 1, 1);
  while (auto p = Next()) Store(ClientAckOf(*p));
  EXPECT_EQ(buffer.NoticesHeld(), 1u) << "notices B took are kept behind the one A holds";
}
