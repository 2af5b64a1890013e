// Counts heap allocations on the voice paths: a voice datagram must cost
// none once the thread's store of freed packets is warm, whether it comes in
// from a client or goes out to one. The counter (support/CountingNew.h)
// replaces the global operator new of this test binary; it only counts
// while a test asks it to.
#include <gtest/gtest.h>

#include "common/PacketBuffer.h"
#include "support/CountingNew.h"
#include "support/TransportDriver.h"


namespace {

using namespace transport_driver;

class HotPathAllocation : public ::testing::Test {
 protected:
  HotPathAllocation() {
    for (uint32_t id = 1; id <= 100; ++id) Connect(buffer, id, id + 1000);
  }
  ~HotPathAllocation() override {
    buffer.ThreadFinished(0);
    buffer.ThreadFinished(1);
  }
  // Allocations made by `step`, run once to warm up and then 50 times.
  template <typename F>
  double AllocationsPerRun(F step) {
    step();
    counting_new::allocations = 0;
    counting_new::counting = true;
    for (int i = 0; i < 50; ++i) step();
    counting_new::counting = false;
    return counting_new::allocations.load() / 50.0;
  }
  TCustomPacketBuffer buffer;
};

TEST_F(HotPathAllocation, ReceivedVoiceCostsNoAllocation) {
  uint16_t counter = 1;
  const double perDatagram = AllocationsPerRun([&] {
    buffer.StoreReceivedPacket(ClientVoice(42, 1042, counter++, 120));
    uint32_t id, hint;
    int code;
    std::unique_ptr<TPacket> packet;
    ASSERT_TRUE(buffer.GetPacket(id, code, packet, hint));
    ASSERT_EQ(code, wpPacket);
  });
  EXPECT_EQ(perDatagram, 0.0);
}

TEST_F(HotPathAllocation, SentVoiceCostsNoAllocation) {
  const double perDatagram = AllocationsPerRun([&] {
    buffer.SendPacket(NewVoiceS2CPacket(42, 7, 120), false);
    uint32_t hint;
    ASSERT_NE(buffer.NextPacketToSend(hint), nullptr);
  });
  EXPECT_EQ(perDatagram, 0.0);
}

}  // namespace
