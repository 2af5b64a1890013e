// The voice relay: the handler for VOICEC2S datagrams. The server never
// decodes voice; it turns each of the speaker's frames into one VOICES2C
// datagram per recipient, addressed with the recipient's key and id.
//
// Runs with the ClientList and channel locks held, mostly on the socket
// reader's thread (RelayVoice: a frame that has nothing queued ahead of it
// is relayed where it was received, and the reader sends the result at
// once), else on the listener thread (HandleVoice, which queues every copy
// and wakes the sender thread). This is the hot path of the whole server, so:
// - the relay walks only the members of the target channel (the client
//   list's channel index), never the whole player list;
// - on the reader's thread, a recipient with nothing waiting gets its
//   datagram written as its own 22-byte header plus the received payload,
//   which is never copied; only recipients that are behind get a queued
//   packet with a copy of the payload;
// - the recipients go to the packet buffer in batches, one lock per batch;
//   the sending happens after the relay let go of its locks, so nothing
//   waits on the network inside them.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <optional>

#include "common/CaughtLog.h"
#include "common/Log.h"
#include "common/LogRateLimiter.h"
#include "common/PacketBuffer.h"
#include "server/Listener.h"
#include "server/ServerObject.h"
#include "server/UDPSender.h"

namespace {

// Target kinds of a VOICEC2S datagram (offset 2).
constexpr uint8_t kOwnChannel = 0;
constexpr uint8_t kWhisper = 1;
constexpr uint8_t kParentChannel = 2;
// Entry kinds of a whisper list; a whispered recipient sees the kind of the
// entry that reached it.
constexpr uint8_t kEntryChannel = 0;
constexpr uint8_t kEntryPlayer = 1;
constexpr size_t kWhisperCountOffset = kVoiceC2SHeaderSize;
constexpr size_t kWhisperEntriesOffset = kWhisperCountOffset + 1;
constexpr size_t kWhisperEntrySize = 5;

constexpr char kSource[] = "UDP VOICE";
constexpr char kChannelNoMemory[] =
    "TPLUDPListener.ProgressVoiceData_SendVoiceDataToChannel, unable to allocate memory";
constexpr char kParentNoMemory[] =
    "TPLUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to allocate memory";
constexpr char kNoParentChannel[] =
    "TPLUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get parentchannel";
constexpr char kWhisperNoMemory[] = "TPLUDPListener.ProgressVoiceData_SendWhisper, unable to allocate memory";

// A client that keeps speaking to the parent of a top-level channel would
// otherwise write fifty warnings a second: a few lines per second pass, the
// rest are counted. The relay runs on a server's listener and socket reader
// threads, which serve that server alone, so a limiter per thread needs no
// lock.
void Warn(const char* message) {
  thread_local TLogRateLimiter limiter(SystemClock());
  uint32_t suppressed = 0;
  const bool allowed = limiter.Allow(suppressed);
  if (suppressed) LogFmt(LMTWARNING, LMDALL, kSource, "%1 voice warnings suppressed", {suppressed});
  if (allowed) Log(LMTWARNING, LMDALL, kSource, message);
}

// The failures the relay catches, limited the same way and for the same
// reason as Warn.
TLogRateLimiter& CaughtLines() {
  thread_local TLogRateLimiter limiter(SystemClock());
  return limiter;
}

// Whether `speaker` is heard in `channel` (below, with its reasons).
bool MaySpeak(const TRelayScope& l, const TClientObject& speaker, const TChannelRecord& channel);

// Gathers the recipients of one incoming datagram and hands them to the
// packet buffer in batches (TCustomPacketBuffer::FanOutVoice): one lock per
// batch instead of per recipient. The 22-byte header is prepared once; the
// buffer fills in each recipient's part. With `direct`, recipients with
// nothing waiting get their datagram sent by the caller at once, the
// payload shared; the others get a copy queued.
class TVoiceFanOut {
 public:
  // `noMemory`: the warning for a batch that found no memory.
  TVoiceFanOut(const TRelayScope& l, const TPacket& in, const TClientObject& speaker, size_t payloadOffset,
               const TRelayOutput& out, const char* noMemory)
      : buffer_(l.Buffer),
        out_(out),
        noMemory_(noMemory),
        payload_(in.Memory() + payloadOffset),
        payloadSize_(in.Size() - payloadOffset),
        arrivedMs_(in.ArrivedMs) {
    const uint8_t* d = in.Memory();
    wire::PutU16(header_, kPacketVoiceS2C);
    header_[2] = d[2];
    header_[3] = d[3];                     // frame byte
    wire::PutU32(header_ + 4, 0);              // recipient's key and id: per datagram
    wire::PutU32(header_ + 8, 0);
    std::memcpy(header_ + 12, d + 12, 4);  // voice counter (the transport replaces it) and voice word
    wire::PutU32(header_ + 16, speaker.PlayerID);
    std::memcpy(header_ + 20, d + 12, 2);  // the speaker's own counter
  }
  ~TVoiceFanOut() {
    try {
      if (!Flush()) Warn(noMemory_);
    } catch (...) {
      // The buffer's lock failed: this frame is lost, as a network would lose it.
      LogCaughtLimited(CaughtLines(), kSource, "TVoiceFanOut.Flush");
    }
  }
  TVoiceFanOut(const TVoiceFanOut&) = delete;
  TVoiceFanOut& operator=(const TVoiceFanOut&) = delete;

  // Notes one datagram for `to`; false when memory ran out (the caller
  // then drops the rest of this datagram).
  bool SendTo(const TClientObject& to, uint8_t kind) {
    recipients_[count_++] = TVoiceRecipient{to.PlayerID, kind};
    if (count_ == kBatch) return Flush();
    return true;
  }

 private:
  static constexpr size_t kBatch = 64;

  bool Flush() {
    if (count_ == 0) return true;
    const bool ok = buffer_.FanOutVoice(header_, recipients_, count_, payload_, payloadSize_, arrivedMs_,
                                        out_.Direct, out_.WakeSender);
    count_ = 0;
    return ok;
  }

  TCustomPacketBuffer& buffer_;
  TRelayOutput out_;
  const char* noMemory_;
  const uint8_t* payload_;
  size_t payloadSize_;
  int64_t arrivedMs_;
  uint8_t header_[kVoiceS2CHeaderSize];
  TVoiceRecipient recipients_[kBatch];
  size_t count_ = 0;
};

// Kinds 0 and 2: every member of `channel` but the speaker, when the speaker
// has entered and may be heard there.
void SendVoiceToMembers(const TRelayScope& l, const TPacket& in, const TClientObject& speaker,
                        const TChannelRecord& channel, const char* noMemory, const TRelayOutput& out) {
  if (!speaker.ListsSent || !MaySpeak(l, speaker, channel)) return;
  TVoiceFanOut fan(l, in, speaker, kVoiceC2SHeaderSize, out, noMemory);
  const uint8_t kind = in.Memory()[2];
  for (TClientObject* p : l.Clients.InChannel(channel.ID)) {
    if (p == &speaker) continue;
    if (!fan.SendTo(*p, kind)) {
      Warn(noMemory);
      return;
    }
  }
}

void SendVoiceDataToChannel(const TRelayScope& l, const TPacket& in, const TClientObject& speaker,
                            const TRelayOutput& out) {
  // A speaker whose channel vanished is skipped without a word.
  if (const TChannelRecord* channel = l.Channels.FindByID(speaker.ChannelID))
    SendVoiceToMembers(l, in, speaker, *channel, kChannelNoMemory, out);
}

void SendVoiceDataToParentChannel(const TRelayScope& l, const TPacket& in, const TClientObject& speaker,
                                  const TRelayOutput& out) {
  const TChannelRecord* channel = l.Channels.FindByID(speaker.ChannelID);
  if (!channel) return;
  const TChannelRecord* parent = channel->IsTopLevel() ? nullptr : l.Channels.FindByID(channel->Parent);
  if (!parent) {
    Warn(kNoParentChannel);
    return;
  }
  SendVoiceToMembers(l, in, speaker, *parent, kParentNoMemory, out);
}

// A whisper reaches the entries in datagram order. Each recipient is checked
// as it is reached (it exists, accepts whispers, has entered); nothing the
// relay does changes those facts, so this is the same as building the whole
// list first, without building it. A player named twice, or by its player
// and its channel entry, hears it once: otherwise one datagram naming a
// channel 255 times would make the server send 255 copies to each member.
void SendWhisper(const TRelayScope& l, const TPacket& in, const TClientObject& speaker, const TRelayOutput& out) {
  if (in.Size() < kWhisperEntriesOffset) return;
  const uint8_t* d = in.Memory();
  const size_t count = d[kWhisperCountOffset];
  const size_t payloadOffset = kWhisperEntriesOffset + kWhisperEntrySize * count;
  if (in.Size() < payloadOffset) return;  // too short for its entries

  // The relay runs on two threads of a server (reader and listener), so the
  // mark that tells this whisper from every earlier one comes from a shared
  // counter; the marks themselves are written under the ClientList lock.
  static std::atomic<uint32_t> whisperRound{0};
  uint32_t mark = whisperRound.fetch_add(1, std::memory_order_relaxed) + 1;
  if (mark == 0) mark = whisperRound.fetch_add(1, std::memory_order_relaxed) + 1;
  uint32_t channelsSeen[255];
  size_t channelCount = 0;
  TVoiceFanOut fan(l, in, speaker, payloadOffset, out, kWhisperNoMemory);
  auto reach = [&](TClientObject& p, uint8_t kind) {
    if ((p.PlayerFlags & PlayerFlags::RefusesWhispers) || !p.ListsSent || p.WhisperMark == mark) return true;
    p.WhisperMark = mark;
    if (fan.SendTo(p, kind)) return true;
    Warn(kWhisperNoMemory);
    return false;
  };
  for (size_t i = 0; i < count; ++i) {
    const uint8_t* entry = d + kWhisperEntriesOffset + kWhisperEntrySize * i;
    const uint32_t id = wire::GetU32(entry + 1);
    if (entry[0] == kEntryPlayer) {
      if (id == speaker.PlayerID) continue;
      TClientObject* p = l.Clients.FindByID(id);
      if (p && !reach(*p, kEntryPlayer)) return;
    } else if (entry[0] == kEntryChannel) {
      // Members of a channel named again are marked already; skipping the
      // channel spares walking them.
      if (std::find(channelsSeen, channelsSeen + channelCount, id) != channelsSeen + channelCount) continue;
      channelsSeen[channelCount++] = id;
      const TChannelRecord* channel = l.Channels.FindByID(id);
      if (!channel || !MaySpeak(l, speaker, *channel)) continue;
      for (TClientObject* p : l.Clients.InChannel(id))
        if (p != &speaker && !reach(*p, kEntryChannel)) return;
    }
  }
}

}  // namespace

void TPLUDPListener::HandleVoice(TPacket& packet) {
  if (!current_) return;
  // Frames that queued here behind other work while the server is
  // overloaded are dropped, as the socket reader drops those that queued in
  // the socket: relaying them late would make every later frame late too.
  const int64_t now = TPacket::SteadyMs();
  if (packet.VoiceIsStale(now)) {
    server_.PacketBuffer->NoteStaleVoice();
    return;
  }
  current_->LastVoiceMs = now;
  Relay(packet, *current_, TRelayOutput{nullptr, true});
}

void TPLUDPListener::RelayVoice(TPacket& packet, TPLUDPSender& sender) {
  std::optional<TPLUDPSender::TTurn> turn;
  try {
    TClientListLock clients(Clients());
    TChannelsLock channels(Channels());
    // As the listener does: only the player holding the connection's key speaks through it.
    TClientObject* speaker = Clients().FindByID(packet.GetPlayerId());
    if (!speaker || speaker->SessionKey != packet.GetSessionKey()) return;
    speaker->LastSeen = Now();
    speaker->LastVoiceMs = TPacket::SteadyMs();
    // Taken only now, so that the send path is never held up while the
    // relay waits for the locks above.
    turn.emplace(sender.TryHold());
    Relay(packet, *speaker, TRelayOutput{turn->Direct(), false});
  } catch (...) {
    LogCaughtLimited(CaughtLines(), kSource, "TPLUDPListener.RelayVoice");
  }
  // Sent with the locks released: nothing waits on the network inside them.
  if (turn) sender.Send(*turn);
}

void TPLUDPListener::Relay(TPacket& packet, const TClientObject& speaker, const TRelayOutput& out) {
  if (!packet.IsVoiceC2S()) return;
  switch (packet.Memory()[2]) {
    case kOwnChannel: SendVoiceDataToChannel(relay_, packet, speaker, out); break;
    case kWhisper: SendWhisper(relay_, packet, speaker, out); break;
    case kParentChannel: SendVoiceDataToParentChannel(relay_, packet, speaker, out); break;
    default: return;  // unknown target kinds are ignored
  }
  // The reader sends on its own (no sender wake-up); the listener queues.
  server_.Counters->NoteRelayed(!out.WakeSender);
}

namespace {

/* Whether the speaker is heard in `channel`.
 *
 * On a public server players of different channel families do not see each
 * other, and so must not hear each other either: a speaker may be heard in a
 * channel only when both channels have the same root (the channel itself if
 * top-level, else its parent). Comparing the two channels' parents instead
 * would let two top-level channels, whose parents are both "none", count as
 * one family. Then moderation: in a moderated channel only voice, operator,
 * channel administrator or server administrator rights are heard.
 */
bool MaySpeak(const TRelayScope& l, const TClientObject& speaker, const TChannelRecord& channel) {
  if ((l.Settings.ServerType & stPublic) && speaker.ChannelID != channel.ID) {
    if (!l.Channels.FindByID(speaker.ChannelID)) return false;
    if (l.Channels.RootOf(speaker.ChannelID) != l.Channels.RootOf(channel.ID)) return false;
  }
  if (!(channel.Flags & cfModerated)) return true;
  constexpr uint16_t kHeard = ChannelPrivileges::ChannelAdmin | ChannelPrivileges::Operator | ChannelPrivileges::Voice;
  return (speaker.ChannelPrivileges & kHeard) || (speaker.PlayerPrivileges & PlayerPrivileges::ServerAdmin);
}

}  // namespace
