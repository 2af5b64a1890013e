#include "server/ServerCounters.h"

#include <map>
#include <mutex>

size_t TServerCounters::LoginIndex(int32_t result) {
  for (size_t i = 0; i < kLoginResults.size(); ++i)
    if (kLoginResults[i] == result) return i;
  return kOtherResult;
}

void TServerCounters::Carry(const TBufferStatistics& last) {
  carried_.PacketsSent += last.PacketsSent;
  carried_.PacketsReceived += last.PacketsReceived;
  carried_.BytesSent += last.BytesSent;
  carried_.BytesReceived += last.BytesReceived;
  carried_.StaleVoiceDropped += last.StaleVoiceDropped;
  carried_.SendsLost += last.SendsLost;
  carried_.Resends += last.Resends;
}

std::shared_ptr<TServerCounters> ServerCountersFor(const std::string& id) {
  // A server holds its block itself, so the order of destruction at exit does not matter.
  static std::mutex mutex;
  static std::map<std::string, std::shared_ptr<TServerCounters>> byId;
  std::lock_guard<std::mutex> lock(mutex);
  auto& counters = byId[id];
  if (!counters) counters = std::make_shared<TServerCounters>();
  return counters;
}
