#include "common/Packets.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

std::unique_ptr<TPacket> Raw(std::vector<uint8_t> bytes) { return std::make_unique<TPacket>(bytes.data(), bytes.size()); }

std::vector<uint8_t> Bytes(const TPacket& p) { return std::vector<uint8_t>(p.Memory(), p.Memory() + p.Size()); }

TEST(PacketCRC32, KnownValuesAndLimits) {
  const char* text = "123456789";
  EXPECT_EQ(PacketCRC32(reinterpret_cast<const uint8_t*>(text), 9), 0xCBF43926u);
  EXPECT_EQ(PacketCRC32(reinterpret_cast<const uint8_t*>(text), 0), 0u);
  std::vector<uint8_t> big(kMaxCrcLength + 1, 0x55);
  EXPECT_EQ(PacketCRC32(big.data(), big.size()), 0xFFFFFFFFu);
  // The largest computed length is a real checksum, not the refusal value.
  EXPECT_NE(PacketCRC32(big.data(), kMaxCrcLength), 0xFFFFFFFFu);
}

TEST(Packet, ClassNeedsItsMinimumSize) {
  std::vector<uint8_t> cmd(23, 0);
  cmd[0] = 0xF0;
  cmd[1] = 0xBE;
  EXPECT_FALSE(Raw(cmd)->IsCommand());
  EXPECT_FALSE(Raw(cmd)->IsValid());
  cmd.push_back(0);
  auto full = Raw(cmd);
  EXPECT_TRUE(full->IsCommand());
  full->UpdateCRC();
  EXPECT_TRUE(full->IsValid());

  std::vector<uint8_t> voice(16, 0);
  voice[0] = 0xF3;
  voice[1] = 0xBE;
  EXPECT_FALSE(Raw(voice)->IsVoiceS2C());
  EXPECT_FALSE(Raw(voice)->IsValid());
  voice[0] = 0xF2;
  EXPECT_TRUE(Raw(voice)->IsVoiceC2S());
  EXPECT_TRUE(Raw(voice)->IsValid());

  auto ping = NewMaintenancePacket(kMaintenancePing, 1, 2, 3);
  ASSERT_EQ(ping->Size(), 20u);
  ping->UpdateCRC();
  EXPECT_TRUE(ping->IsMaintenance());
  EXPECT_TRUE(ping->IsValid());
  EXPECT_EQ(ping->MaintenanceHeader().Subtype(), kMaintenancePing);

  EXPECT_FALSE(Raw({0xF5, 0xBE, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})->IsValid());
  EXPECT_FALSE(Raw({})->IsValid());
}

TEST(Packet, CheckCRCComparesWithoutChangingTheBytes) {
  auto p = NewCommandPacket(5, 77, 10);
  p->Memory()[30] = 0xAB;
  p->UpdateCRC();
  const uint32_t good = p->CommandHeader().Crc();
  const auto before = Bytes(*p);
  EXPECT_TRUE(p->CheckCRC());
  EXPECT_EQ(Bytes(*p), before);
  p->CommandHeader().SetCrc(good ^ 1);
  const auto wrong = Bytes(*p);
  EXPECT_FALSE(p->CheckCRC());
  EXPECT_EQ(Bytes(*p), wrong);
  // The stored value is the CRC of the packet with the field zeroed.
  p->CommandHeader().SetCrc(0);
  EXPECT_EQ(PacketCRC32(p->Memory(), p->Size()), good);
}

TEST(Packet, ChecksumCoversMaintenanceButNotAcks) {
  auto m = NewMaintenancePacket(kMaintenanceLoginRequest, 0, 0, 1, 8);
  m->UpdateCRC();
  m->Memory()[25] ^= 0x01;
  EXPECT_FALSE(m->IsValid());

  auto ack = NewAckPacket(1, 2, 3, 0);
  const auto before = Bytes(*ack);
  ack->UpdateCRC();
  EXPECT_EQ(Bytes(*ack), before);
  for (size_t i = 2; i < ack->Size(); ++i) {
    ack->Memory()[i] ^= 0xFF;
    EXPECT_TRUE(ack->IsValid()) << "byte " << i;
  }
}

TEST(Packet, PacketOfNoClassRaisesInvalidPacket) {
  auto p = Raw({1, 2, 3});
  for (auto op : {+[](TPacket& x) { x.UpdateCRC(); }, +[](TPacket& x) { x.CheckCRC(); },
                  +[](TPacket& x) { x.GetPlayerId(); }, +[](TPacket& x) { x.GetSessionKey(); }}) {
    try {
      op(*p);
      ADD_FAILURE() << "no error raised";
    } catch (const EPacket& e) {
      EXPECT_STREQ(e.what(), "Invalid Packet");
    }
  }
  EXPECT_FALSE(p->IsValid());
}

TEST(Packet, HeaderViewOfAnotherClassFailsItsAssertion) {
  auto ack = NewAckPacket(1, 2, 3, 0);
  auto cmd = NewCommandPacket(1, 2);
  auto expectMessage = [](auto view, const char* message) {
    try {
      view();
      ADD_FAILURE() << "no assertion for " << message;
    } catch (const EAssertionFailed& e) {
      EXPECT_STREQ(e.what(), message);
    }
  };
  expectMessage([&] { ack->CommandHeader(); }, "Udp packet is not a COMMAND packet");
  expectMessage([&] { cmd->AckHeader(); }, "Udp packet is not a ACK packet");
  expectMessage([&] { cmd->VoiceC2SHeader(); }, "Udp packet is not a VOICEC2S packet");
  expectMessage([&] { cmd->VoiceS2CHeader(); }, "Udp packet is not a VOICES2C packet");
  expectMessage([&] { cmd->MaintenanceHeader(); }, "Udp packet is not a MAINTENANCE packet");
}

TEST(Packet, HeaderFieldsAreLittleEndianAtTheirOffsets) {
  auto v = NewVoiceS2CPacket(0x01020304, 0x0A0B0C0D, 4);
  TVoiceS2CHeader h = v->VoiceS2CHeader();
  h.SetTarget(2);
  h.SetFrame(9);
  h.SetSessionKey(0x11223344);
  h.SetCounter(0x5566);
  h.SetVoiceWord(0x7788);
  h.SetSpeakerCounter(0x99AA);
  const std::vector<uint8_t> expected = {0xF3, 0xBE, 2,    9,    0x44, 0x33, 0x22, 0x11, 0x04, 0x03, 0x02, 0x01, 0x66,
                                         0x55, 0x88, 0x77, 0x0D, 0x0C, 0x0B, 0x0A, 0xAA, 0x99, 0,    0,    0,    0};
  EXPECT_EQ(Bytes(*v), expected);
  EXPECT_EQ(v->GetPlayerId(), 0x01020304u);
  EXPECT_EQ(v->GetSessionKey(), 0x11223344u);
}

TEST(Packet, StreamGrowsPastTheInlineBytesAndAssignCopiesEverything) {
  TPacket big;
  std::vector<uint8_t> data(TPacket::kInlineCapacity * 3);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  big.Write(data.data(), 100);
  big.Write(data.data() + 100, data.size() - 100);
  EXPECT_EQ(Bytes(big), data);
  EXPECT_EQ(big.Position, data.size());
  big.SetAddress("10.1.2.3", 4567);

  TPacket copy;
  copy.Write("xyz", 3);
  copy.Assign(big);
  EXPECT_EQ(Bytes(copy), data);
  EXPECT_EQ(copy.Address, "10.1.2.3");
  EXPECT_EQ(copy.Port, 4567);
  EXPECT_EQ(copy.Position, 0u);

  uint8_t first[4];
  EXPECT_EQ(copy.Read(first, 4), 4u);
  EXPECT_EQ(first[1], 7);
  copy.Position = copy.Size() - 2;
  EXPECT_EQ(copy.Read(first, 4), 2u);
  copy.SetSize(10);
  EXPECT_EQ(copy.Position, 10u);
}

}  // namespace
