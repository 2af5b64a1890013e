// The voice relay over real UDP on loopback, through our client library:
// the three target kinds, moderation, the family rule of public servers, the
// whisper list's rules and the layout of relayed datagrams.
//
// Proving that something was not relayed: the listener handles datagrams in
// arrival order and each connection sends its voice in order, so once a
// marker sent after the datagram under test has reached a player, anything
// that datagram caused for that player has reached it too.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <chrono>
#include <functional>
#include <utility>
#include <vector>

#include "common/ClientObject.h"
#include "common/CommandCodes.h"
#include "common/Log.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "support/CommandKit.h"
#include "support/LogCapture.h"
#include "support/ServerFixture.h"
#include "server/ServerInternals.h"

namespace {

constexpr uint8_t kOwn = 0, kWhisper = 1, kParent = 2;
constexpr uint8_t kToChannel = 0, kToPlayer = 1;
constexpr uint8_t kMarker = 0xEE;
constexpr uint32_t kNoWhispers = 4;
using TEntries = std::vector<std::pair<uint8_t, uint32_t>>;

std::vector<uint8_t> Payload(uint8_t tag, size_t size = 24) {
  std::vector<uint8_t> p(size);
  for (size_t i = 0; i < size; ++i) p[i] = static_cast<uint8_t>(i == 0 ? tag : tag + i * 7);
  return p;
}

// A whisper's bytes from offset 16: count, 5-byte entries, then the voice.
std::vector<uint8_t> WhisperBody(const TEntries& entries, uint8_t tag, size_t size = 24) {
  std::vector<uint8_t> b{static_cast<uint8_t>(entries.size())};
  for (const auto& [kind, id] : entries) {
    b.push_back(kind);
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(id >> (8 * i)));
  }
  const std::vector<uint8_t> voice = Payload(tag, size);
  b.insert(b.end(), voice.begin(), voice.end());
  return b;
}

void Speak(TVoiceClient& c, uint8_t kind, const std::vector<uint8_t>& body, uint8_t frame = 0, uint16_t word = 0) {
  c.SendVoice(kind, frame, word, body.data(), body.size());
}

uint8_t TagOf(const TClientDatagram& d) { return d.U8(22); }

class VoiceRelayTest : public ::testing::Test {
 protected:
  // The channels of every test: Default (the default), Lobby with Sub1 and
  // Sub2, Other with OtherSub, and the moderated Quiet.
  void StartServer(uint16_t serverType = stClan) {
    f_.Settings.ServerType = serverType;
    f_.Settings.ServerMaxUsers = 100;
    ASSERT_TRUE(f_.Start());
    lobby_ = AddChannel("Lobby", cfSubChannels);
    sub1_ = AddChannel("Sub1", 0, lobby_);
    sub2_ = AddChannel("Sub2", 0, lobby_);
    other_ = AddChannel("Other", cfSubChannels);
    otherSub_ = AddChannel("OtherSub", 0, other_);
    quiet_ = AddChannel("Quiet", cfModerated);
    marker_ = Join("marker");
    ASSERT_NE(marker_, nullptr);
  }

  uint32_t AddChannel(const std::string& name, uint16_t flags, uint32_t parent = kNoParent) {
    return kit::AddChannel(f_, TestChannel(name, flags, parent));
  }

  std::unique_ptr<TVoiceClient> Join(const std::string& nick, const std::string& channel = "",
                                     const std::string& sub = "") {
    auto c = kit::Join(f_, nick, {.Channel = channel, .Sub = sub});
    if (c) {
      EXPECT_EQ(ChannelOf(*c), ChannelNamed(sub.empty() ? channel : sub)) << nick << " landed elsewhere";
    }
    return c;
  }

  uint32_t ChannelNamed(const std::string& name) {
    if (name.empty()) return 0;  // the default channel
    uint32_t id = ~0u;
    f_.WithChannels([&](TChannels& channels) {
      if (const TChannelRecord* r = channels.FindByName(name, kNoParent)) id = r->ID;
    });
    return id;
  }

  uint32_t ChannelOf(const TVoiceClient& c) {
    TClientListLock lock(*TServerInternals::ClientList(*f_.Server));
    const TClientObject* p = TServerInternals::ClientList(*f_.Server)->FindByID(c.PlayerID);
    return p ? p->ChannelID : ~0u;
  }

  // Changes a player's record the way the commands would, under the lock.
  void Edit(const TVoiceClient& c, const std::function<void(TClientObject&)>& change) {
    TClientListLock lock(*TServerInternals::ClientList(*f_.Server));
    TClientObject* p = TServerInternals::ClientList(*f_.Server)->FindByID(c.PlayerID);
    ASSERT_NE(p, nullptr);
    change(*p);
  }

  // The tags of the voice `r` received up to the marker, which `via` sends
  // (own-channel voice from a member of r's channel) or, by default, the
  // marker client whispers to r by player id.
  std::vector<uint8_t> Heard(TVoiceClient& r, TVoiceClient* via = nullptr) {
    if (via) Speak(*via, kOwn, Payload(kMarker));
    else Speak(*marker_, kWhisper, WhisperBody({{kToPlayer, r.PlayerID}}, kMarker));
    std::vector<uint8_t> tags;
    for (;;) {
      auto v = r.WaitVoice(3000);
      if (!v) {
        ADD_FAILURE() << "the marker did not reach player " << r.PlayerID;
        return tags;
      }
      if (TagOf(*v) == kMarker) return tags;
      tags.push_back(TagOf(*v));
    }
  }

  // The whole datagrams `r` received up to the marker.
  std::vector<TClientDatagram> Received(TVoiceClient& r) {
    std::vector<TClientDatagram> got;
    Speak(*marker_, kWhisper, WhisperBody({{kToPlayer, r.PlayerID}}, kMarker));
    while (auto v = r.WaitVoice(3000)) {
      if (TagOf(*v) == kMarker) return got;
      got.push_back(std::move(*v));
    }
    ADD_FAILURE() << "the marker did not reach player " << r.PlayerID;
    return got;
  }

  using Tags = std::vector<uint8_t>;
  TServerFixture f_;
  std::unique_ptr<TVoiceClient> marker_;
  uint32_t lobby_ = 0, sub1_ = 0, sub2_ = 0, other_ = 0, otherSub_ = 0, quiet_ = 0;
};

// ---- own channel -------------------------------------------------------------------

TEST_F(VoiceRelayTest, OwnChannelReachesEveryOtherMemberWithTheRelayedLayout) {
  StartServer();
  auto a = Join("a", "Lobby"), b = Join("b", "Lobby"), c = Join("c", "Lobby"), d = Join("d", "Other");
  const std::vector<uint8_t> body = Payload(0x11, 40);
  Speak(*a, kOwn, body, 0x5A, 0x1234);

  for (TVoiceClient* r : {b.get(), c.get()}) {
    auto got = Received(*r);
    ASSERT_EQ(got.size(), 1u);
    const TClientDatagram& v = got[0];
    ASSERT_EQ(v.Size(), 22u + body.size());
    EXPECT_EQ(v.U16(0), 0xBEF3);
    EXPECT_EQ(v.U8(2), kOwn);
    EXPECT_EQ(v.U8(3), 0x5A);
    EXPECT_EQ(v.U32(4), r->SessionKey);
    EXPECT_EQ(v.U32(8), r->PlayerID);
    EXPECT_EQ(v.U16(12), 1) << "the recipient connection's own voice counter";
    EXPECT_EQ(v.U16(14), 0x1234);
    EXPECT_EQ(v.U32(16), a->PlayerID);
    EXPECT_EQ(v.U16(20), 1) << "the speaker's counter";
    EXPECT_TRUE(std::equal(body.begin(), body.end(), v.Data.begin() + 22));
  }
  EXPECT_EQ(Heard(*a), Tags{}) << "nothing goes back to the speaker";
  EXPECT_EQ(Heard(*d), Tags{}) << "other channels hear nothing";
}

TEST_F(VoiceRelayTest, VoiceThatWaitedTooLongInEitherQueueIsDroppedAndCounted) {
  StartServer();
  auto a = Join("a", "Lobby"), b = Join("b", "Lobby");
  sockaddr_in local{};
  socklen_t len = sizeof local;
  ASSERT_EQ(getsockname(a->Fd(), reinterpret_cast<sockaddr*>(&local), &len), 0);
  ASSERT_EQ(Heard(*b, a.get()), Tags{}) << "a's login is complete on the transport level";
  uint16_t counter = 100;
  // As the socket reader hands it over, with the time it waited there.
  auto frame = [&](uint8_t tag, uint32_t waitedMs) {
    auto p = NewVoiceC2SPacket(a->SessionKey, a->PlayerID, counter++, 24);
    p->Memory()[kVoiceC2SHeaderSize] = tag;
    f_.Server->UDPRead("127.0.0.1", ntohs(local.sin_port), local.sin_addr.s_addr, p->Memory(), p->Size(), waitedMs);
  };
  frame(0x31, TServerObject::kStaleVoiceMs + 1);
  // Not at the very limit: on a loaded machine the frame may still queue a
  // few milliseconds on its way out and grow stale there.
  frame(0x32, TServerObject::kStaleVoiceMs / 2);
  EXPECT_EQ(Heard(*b), Tags{0x32});

  // Queued for the listener (as when work waits ahead of it), with the time
  // it reached the socket; 0 means not noted.
  auto queued = [&](uint8_t tag, int64_t arrivedMs) {
    auto p = NewVoiceC2SPacket(a->SessionKey, a->PlayerID, counter++, 24);
    p->Memory()[kVoiceC2SHeaderSize] = tag;
    p->SetPeer("127.0.0.1", local.sin_addr.s_addr, ntohs(local.sin_port));
    p->ArrivedMs = arrivedMs;
    EXPECT_EQ(TServerInternals::PacketBuffer(*f_.Server)->TryStoreReceivedPacket(std::move(p), nullptr), nullptr);
  };
  queued(0x33, TPacket::SteadyMs() - TServerObject::kStaleVoiceMs - 20);
  queued(0x34, 0);
  EXPECT_EQ(Heard(*b), Tags{0x34});
  EXPECT_EQ(TServerInternals::PacketBuffer(*f_.Server)->GetStatistics().StaleVoiceDropped, 2u);
}

TEST_F(VoiceRelayTest, SpeakerAloneInItsChannelReachesNobody) {
  StartServer();
  auto a = Join("a", "Quiet"), b = Join("b", "Lobby");
  Edit(*a, [](TClientObject& p) { p.ChannelPrivileges = ChannelPrivileges::Voice; });
  Speak(*a, kOwn, Payload(0x21));
  EXPECT_EQ(Heard(*a), Tags{});
  EXPECT_EQ(Heard(*b), Tags{});
}

TEST_F(VoiceRelayTest, ModeratedChannelHearsOnlyVoiceOperatorsAndAdministrators) {
  StartServer();
  auto a = Join("a", "Quiet"), b = Join("b", "Quiet");
  Speak(*a, kOwn, Payload(0x30));
  EXPECT_EQ(Heard(*b), Tags{}) << "no rights: heard by nobody";

  const std::pair<uint16_t, uint16_t> rights[] = {
      {ChannelPrivileges::Voice, 0},
      {ChannelPrivileges::Operator, 0},
      {ChannelPrivileges::ChannelAdmin, 0},
      {0, PlayerPrivileges::ServerAdmin},
  };
  uint8_t tag = 0x31;
  for (const auto& right : rights) {
    const uint16_t channel = right.first, player = right.second;
    Edit(*a, [&](TClientObject& p) {
      p.ChannelPrivileges = channel;
      p.PlayerPrivileges = player;
    });
    Speak(*a, kOwn, Payload(tag));
    EXPECT_EQ(Heard(*b), Tags{tag}) << "channel rights " << channel << ", player rights " << player;
    ++tag;
  }
  // Auto rights alone are no voice.
  Edit(*a, [](TClientObject& p) {
    p.ChannelPrivileges = ChannelPrivileges::AutoVoice | ChannelPrivileges::AutoOperator;
    p.PlayerPrivileges = PlayerPrivileges::Registered | PlayerPrivileges::SuperServerAdmin;
  });
  Speak(*a, kOwn, Payload(0x40));
  EXPECT_EQ(Heard(*b), Tags{});
}

TEST_F(VoiceRelayTest, VoiceBeforeEnterIsRelayedNowhere) {
  StartServer();
  auto b = Join("b");
  auto early = f_.NewClient();
  TLoginRequest request;
  request.NickName = "early";
  ASSERT_EQ(early->Login(request).Result, rc::LoginOk);
  Speak(*early, kOwn, Payload(0x50));
  Speak(*early, kParent, Payload(0x51));
  Speak(*early, kWhisper, WhisperBody({{kToPlayer, b->PlayerID}, {kToChannel, 0}}, 0x52));
  EXPECT_EQ(Heard(*b), Tags{});
  EXPECT_EQ(Heard(*marker_, b.get()), Tags{});
}

TEST_F(VoiceRelayTest, UnknownTargetKindIsIgnored) {
  StartServer();
  auto a = Join("a"), b = Join("b");
  Speak(*a, 3, Payload(0x60));
  Speak(*a, 0xFF, Payload(0x61));
  EXPECT_EQ(Heard(*b), Tags{});
}

// ---- parent channel ----------------------------------------------------------------

TEST_F(VoiceRelayTest, ParentChannelReachesTheParentsMembersOnly) {
  StartServer();
  auto a = Join("a", "Lobby", "Sub1"), sibling = Join("s", "Lobby", "Sub1"), up = Join("up", "Lobby"),
       other = Join("o", "Lobby", "Sub2");
  Speak(*a, kParent, Payload(0x70), 0x07, 0x0707);
  auto got = Received(*up);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].U8(2), kParent);
  EXPECT_EQ(got[0].U8(3), 0x07);
  EXPECT_EQ(got[0].U16(14), 0x0707);
  EXPECT_EQ(got[0].U32(16), a->PlayerID);
  EXPECT_EQ(Heard(*sibling), Tags{});
  EXPECT_EQ(Heard(*other), Tags{});
  EXPECT_EQ(Heard(*a), Tags{});
}

TEST_F(VoiceRelayTest, ParentChannelFromTopLevelWarnsAndSendsNothing) {
  StartServer();
  auto a = Join("a", "Lobby"), b = Join("b", "Lobby");
  TLogCapture log;
  Speak(*a, kParent, Payload(0x80));
  EXPECT_EQ(Heard(*b), Tags{});
  int warnings = 0;
  for (const TLogCapture::TLine& line : log.Lines()) {
    if (line.Source != "UDP VOICE") continue;
    ++warnings;
    EXPECT_EQ(line.Message,
              "TPLUDPListener.ProgressVoiceData_SendVoiceDataToParentChannel, unable to get parentchannel");
    EXPECT_EQ(line.Type, LMTWARNING);
    EXPECT_EQ(line.Depth, LMDALL);
  }
  EXPECT_EQ(warnings, 1);
}

TEST_F(VoiceRelayTest, ParentChannelWarningsAreLimitedPerSecond) {
  StartServer();
  auto a = Join("a", "Lobby"), b = Join("b", "Lobby");
  TLogCapture log;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) Speak(*a, kParent, Payload(0x81));
  EXPECT_EQ(Heard(*b), Tags{});
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - start);
  size_t warnings = 0;
  for (const TLogCapture::TLine& line : log.Lines()) warnings += line.Source == "UDP VOICE";
  EXPECT_GE(warnings, 1u);
  // Five lines and a count of the rest per second, in every second begun.
  EXPECT_LE(warnings, 6u * static_cast<size_t>(seconds.count() + 2)) << "of 50";
}

TEST_F(VoiceRelayTest, ParentChannelFollowsTheParentsModeration) {
  StartServer();
  AddChannel("Loud", 0, AddChannel("Stage", cfSubChannels | cfModerated));
  // The sub-channel itself is not moderated; its parent is.
  auto a = Join("a", "Stage", "Loud"), b = Join("b", "Stage");
  Speak(*a, kParent, Payload(0x90));
  EXPECT_EQ(Heard(*b), Tags{});
  Edit(*a, [](TClientObject& p) { p.ChannelPrivileges = ChannelPrivileges::Voice; });
  Speak(*a, kParent, Payload(0x91));
  EXPECT_EQ(Heard(*b), Tags{0x91});
}

// ---- whispers ----------------------------------------------------------------------

TEST_F(VoiceRelayTest, WhisperReachesPlayersAndChannelsWithTheKindOfTheirEntry) {
  StartServer();
  auto a = Join("a", "Lobby"), b = Join("b", "Lobby"), c = Join("c", "Other"), d = Join("d", "Other"),
       e = Join("e", "Lobby", "Sub1");
  const std::vector<uint8_t> body = WhisperBody({{kToPlayer, e->PlayerID}, {kToChannel, other_}}, 0xA0, 33);
  Speak(*a, kWhisper, body, 0x3C, 0x4242);

  auto check = [&](TVoiceClient& r, uint8_t kind) {
    auto got = Received(r);
    ASSERT_EQ(got.size(), 1u) << "player " << r.PlayerID;
    const TClientDatagram& v = got[0];
    ASSERT_EQ(v.Size(), 22u + 33u) << "the payload is what follows the entries";
    EXPECT_EQ(v.U8(2), kind);
    EXPECT_EQ(v.U8(3), 0x3C);
    EXPECT_EQ(v.U32(4), r.SessionKey);
    EXPECT_EQ(v.U32(8), r.PlayerID);
    EXPECT_EQ(v.U16(14), 0x4242);
    EXPECT_EQ(v.U32(16), a->PlayerID);
    EXPECT_TRUE(std::equal(body.begin() + 11, body.end(), v.Data.begin() + 22));
  };
  check(*e, kToPlayer);
  check(*c, kToChannel);
  check(*d, kToChannel);
  EXPECT_EQ(Heard(*b), Tags{}) << "the speaker's channel is not a target";
  EXPECT_EQ(Heard(*a), Tags{});
}

TEST_F(VoiceRelayTest, WhisperListOddities) {
  StartServer();
  auto a = Join("a", "Lobby"), b = Join("b", "Other"), c = Join("c", "Other");
  // Named twice: heard once. The speaker itself, a missing player, a missing
  // channel and an entry of an unknown kind add nothing.
  Speak(*a, kWhisper,
        WhisperBody({{kToPlayer, b->PlayerID},
                     {kToPlayer, a->PlayerID},
                     {kToPlayer, 999},
                     {kToChannel, 999},
                     {7, b->PlayerID},
                     {kToPlayer, b->PlayerID}},
                    0xB0));
  EXPECT_EQ(Heard(*b), Tags{0xB0});
  EXPECT_EQ(Heard(*a), Tags{});
  EXPECT_EQ(Heard(*c), Tags{});

  // A channel named twice and a member of it: each member hears it once.
  Speak(*a, kWhisper,
        WhisperBody({{kToChannel, other_}, {kToChannel, other_}, {kToPlayer, c->PlayerID}}, 0xB1));
  EXPECT_EQ(Heard(*b), Tags{0xB1});
  EXPECT_EQ(Heard(*c), Tags{0xB1});

  // The speaker's own channel named as an entry: everyone there but the speaker.
  auto a2 = Join("a2", "Lobby");
  Speak(*a, kWhisper, WhisperBody({{kToChannel, lobby_}}, 0xB2));
  EXPECT_EQ(Heard(*a2), Tags{0xB2});
  EXPECT_EQ(Heard(*a), Tags{});

  // No entries at all: nothing, and no trouble.
  Speak(*a, kWhisper, WhisperBody({}, 0xB3));
  EXPECT_EQ(Heard(*a2), Tags{});
}

TEST_F(VoiceRelayTest, WhisperTooShortForItsEntriesIsDropped) {
  StartServer();
  auto a = Join("a"), b = Join("b");
  // Three entries announced, one and a half present.
  std::vector<uint8_t> body = WhisperBody({{kToPlayer, b->PlayerID}}, 0xC0, 0);
  body[0] = 3;
  body.push_back(kToPlayer);
  body.push_back(static_cast<uint8_t>(b->PlayerID));
  Speak(*a, kWhisper, body);
  // Just the count byte missing too.
  Speak(*a, kWhisper, {});
  EXPECT_EQ(Heard(*b), Tags{});
  // Exactly its entries and an empty voice is fine.
  Speak(*a, kWhisper, WhisperBody({{kToPlayer, b->PlayerID}}, 0xC1, 0));
  Speak(*a, kWhisper, WhisperBody({{kToPlayer, b->PlayerID}}, 0xC2, 1));
  auto got = Received(*b);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0].Size(), 22u);
  EXPECT_EQ(got[1].Size(), 23u);
  EXPECT_EQ(TagOf(got[1]), 0xC2);
}

TEST_F(VoiceRelayTest, NoWhisperFlagSkipsOnlyThatPlayer) {
  StartServer();
  auto a = Join("a", "Lobby"), deaf = Join("deaf", "Other"), c = Join("c", "Other");
  Edit(*deaf, [](TClientObject& p) { p.PlayerFlags = kNoWhispers | 1 | 2; });
  Speak(*a, kWhisper, WhisperBody({{kToPlayer, deaf->PlayerID}, {kToPlayer, c->PlayerID}}, 0xD0));
  Speak(*a, kWhisper, WhisperBody({{kToChannel, other_}}, 0xD1));
  EXPECT_EQ(Heard(*c), (Tags{0xD0, 0xD1}));
  // Own-channel voice still reaches it: the flag is about whispers only.
  Speak(*c, kOwn, Payload(0xD2));
  EXPECT_EQ(Heard(*deaf, c.get()), Tags{0xD2});

  Edit(*deaf, [](TClientObject& p) { p.PlayerFlags = 1 | 2; });
  Speak(*a, kWhisper, WhisperBody({{kToPlayer, deaf->PlayerID}}, 0xD3));
  EXPECT_EQ(Heard(*deaf), Tags{0xD3});
}

TEST_F(VoiceRelayTest, WhisperToAModeratedChannelNeedsTheSpeakersVoice) {
  StartServer();
  auto a = Join("a", "Lobby"), q = Join("q", "Quiet");
  Speak(*a, kWhisper, WhisperBody({{kToChannel, quiet_}}, 0xE0));
  EXPECT_EQ(Heard(*q), Tags{});
  // By name, a player in a moderated channel is reached all the same.
  Speak(*a, kWhisper, WhisperBody({{kToPlayer, q->PlayerID}}, 0xE1));
  EXPECT_EQ(Heard(*q), Tags{0xE1});
  Edit(*a, [](TClientObject& p) { p.ChannelPrivileges = ChannelPrivileges::Voice; });
  Speak(*a, kWhisper, WhisperBody({{kToChannel, quiet_}}, 0xE2));
  EXPECT_EQ(Heard(*q), Tags{0xE2});
}

// ---- families on public and clan servers ---------------------------------------------

TEST_F(VoiceRelayTest, PublicServerWhispersStayInTheSpeakersFamily) {
  StartServer(stPublic);
  auto top = Join("top", "Lobby"), s1 = Join("s1", "Lobby", "Sub1"), s2 = Join("s2", "Lobby", "Sub2"),
       o = Join("o", "Other"), os = Join("os", "Other", "OtherSub");

  // Two top-level channels are two families, though neither has a parent.
  Speak(*top, kWhisper, WhisperBody({{kToChannel, other_}}, 0xF0));
  EXPECT_EQ(Heard(*o), Tags{});
  // A top-level channel and its own sub-channels are one family.
  Speak(*top, kWhisper, WhisperBody({{kToChannel, sub1_}}, 0xF1));
  EXPECT_EQ(Heard(*s1), Tags{0xF1});
  // Sub-channel to its parent, and to a sibling.
  Speak(*s1, kWhisper, WhisperBody({{kToChannel, lobby_}, {kToChannel, sub2_}}, 0xF2));
  EXPECT_EQ(Heard(*top), Tags{0xF2});
  EXPECT_EQ(Heard(*s2), Tags{0xF2});
  // Sub-channel to another family, top-level or below.
  Speak(*s1, kWhisper, WhisperBody({{kToChannel, other_}, {kToChannel, otherSub_}}, 0xF3));
  EXPECT_EQ(Heard(*o), Tags{});
  EXPECT_EQ(Heard(*os), Tags{});
  // Player entries are not subject to the family rule.
  Speak(*top, kWhisper, WhisperBody({{kToPlayer, o->PlayerID}}, 0xF4));
  EXPECT_EQ(Heard(*o), Tags{0xF4});
}

TEST_F(VoiceRelayTest, ClanServerWhispersCrossFamilies) {
  StartServer(stClan);
  auto top = Join("top", "Lobby"), s1 = Join("s1", "Lobby", "Sub1"), o = Join("o", "Other"),
       os = Join("os", "Other", "OtherSub");
  Speak(*top, kWhisper, WhisperBody({{kToChannel, other_}}, 0xF5));
  EXPECT_EQ(Heard(*o), Tags{0xF5});
  Speak(*s1, kWhisper, WhisperBody({{kToChannel, otherSub_}}, 0xF6));
  EXPECT_EQ(Heard(*os), Tags{0xF6});
  // Still subject to moderation.
  auto q = Join("q", "Quiet");
  Speak(*top, kWhisper, WhisperBody({{kToChannel, quiet_}}, 0xF8));
  EXPECT_EQ(Heard(*q), Tags{});
}

}  // namespace
