#include "server/UDPSocket.h"

#include <arpa/inet.h>

#include <cstring>

std::string IPv4Text(uint32_t ip) {
  in_addr address{};
  address.s_addr = ip;
  char text[INET_ADDRSTRLEN];
  return inet_ntop(AF_INET, &address, text, sizeof text) ? std::string(text) : std::string();
}

void TUDPSocket::SendVoice(const TDirectVoice& voice, std::vector<TSendFailure>& failures) {
  std::vector<uint8_t> datagram(kVoiceS2CHeaderSize + voice.PayloadSize);
  if (voice.PayloadSize) std::memcpy(datagram.data() + kVoiceS2CHeaderSize, voice.Payload, voice.PayloadSize);
  for (size_t i = 0; i < voice.Count; ++i) {
    const TDirectVoice::TEntry& entry = voice.Entries[i];
    std::memcpy(datagram.data(), entry.Header, kVoiceS2CHeaderSize);
    try {
      SendTo(datagram.data(), datagram.size(), IPv4Text(entry.Ip), entry.Port);
    } catch (const std::exception& error) {
      failures.push_back({i, error.what()});
    }
  }
}
