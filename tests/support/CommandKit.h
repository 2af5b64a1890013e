// Test support for the command tests over loopback: payload builders for the
// channel commands, a barrier that collects every command a client has been
// sent so far, refusals read from the error reply, and the server's own
// record of a player.
//
// The barrier works because the listener handles one event at a time and a
// connection delivers its commands in the order they were queued: once the
// reply to a command sent last has arrived, everything the server queued for
// that client before it has arrived too. No test has to sleep to be sure a
// notice did not come.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "client/VoiceClient.h"
#include "common/CommandCodes.h"
#include "server/Channels.h"
#include "server/ClientObject.h"
#include "database/Accounts.h"
#include "support/ServerFixture.h"

namespace kit {

inline constexpr uint32_t kNoSuchChannel = 0xFFFFFFF0u;

// ---- payloads: the bytes after the 24-byte header ----

inline std::vector<uint8_t> ChannelOnly(uint32_t id) {
  std::vector<uint8_t> p;
  payload::PutU32(p, id);
  return p;
}

inline std::vector<uint8_t> ChannelAndText(uint32_t id, size_t capacity, const std::string& text) {
  std::vector<uint8_t> p = ChannelOnly(id);
  payload::PutStr(p, capacity, text);
  return p;
}

inline std::vector<uint8_t> ChannelAndValue(uint32_t id, uint16_t value) {
  std::vector<uint8_t> p = ChannelOnly(id);
  payload::PutU16(p, value);
  return p;
}

inline std::vector<uint8_t> FlagsAndCodec(uint32_t id, uint16_t flags, uint16_t codec) {
  std::vector<uint8_t> p = ChannelAndValue(id, flags);
  payload::PutU16(p, codec);
  return p;
}

// SwitchChannel: channel id and the password.
inline std::vector<uint8_t> Switch(uint32_t id, const std::string& password = "") {
  return ChannelAndText(id, 29, password);
}

// CreateChannel: flags, codec, parent, name, topic, description, password, order, max users.
inline std::vector<uint8_t> Create(const TChannelRecord& r) {
  std::vector<uint8_t> p;
  payload::PutU16(p, r.Flags);
  payload::PutU16(p, r.Codec);
  payload::PutU32(p, r.Parent);
  payload::PutStr(p, 29, r.Name);
  payload::PutStr(p, 29, r.Topic);
  payload::PutStr(p, 99, r.Description);
  payload::PutStr(p, 29, r.Password);
  payload::PutU16(p, r.Order);
  payload::PutU16(p, r.MaxUsers);
  return p;
}

// EditChannel: the first 206 bytes of the channel record.
inline std::vector<uint8_t> Edit(const TChannelRecord& r) {
  std::vector<uint8_t> p(TChannelRecord::kWireSize);
  r.ToWire(p.data());
  return p;
}

// The fixture's test channel with a password and a room limit.
inline TChannelRecord Channel(const std::string& name, uint16_t flags = 0, uint32_t parent = kNoParent,
                              const std::string& password = "", uint16_t maxUsers = 100) {
  TChannelRecord r = TestChannel(name, flags, parent);
  r.Password = password;
  r.MaxUsers = maxUsers;
  return r;
}

// ---- reading what arrived ----

inline bool IsErrorReply(const TClientDatagram& d) { return d.I16(2) < 0; }

// Every command the client has been sent up to now, in arrival order. The
// barrier is a refused command of code `barrier` (SetChannelOrder or
// SetChannelTopic on a channel that does not exist); its reply is not
// returned.
inline std::vector<TClientDatagram> Drain(TVoiceClient& c, uint16_t barrier = cmd::SetChannelOrder) {
  c.QueueCommand(barrier, ChannelAndText(kNoSuchChannel, 29, ""));
  std::vector<TClientDatagram> seen;
  for (;;) {
    auto d = c.WaitAnyCommand(5000);
    if (!d) {
      ADD_FAILURE() << "the barrier reply did not arrive";
      return seen;
    }
    if (d->I16(2) == -102 && d->U16(24) == barrier) return seen;
    seen.push_back(std::move(*d));
  }
}

inline std::vector<uint16_t> Codes(const std::vector<TClientDatagram>& ds) {
  std::vector<uint16_t> codes;
  for (const auto& d : ds) codes.push_back(d.Code());
  return codes;
}

// The datagrams with this code.
inline std::vector<TClientDatagram> Only(const std::vector<TClientDatagram>& ds, uint16_t code) {
  std::vector<TClientDatagram> out;
  for (const auto& d : ds)
    if (d.Code() == code) out.push_back(d);
  return out;
}

// Sends a command and reports its refusal: the result code of its error
// reply, or 0 when none came. Whatever else the client was sent on the way
// goes to `others`.
inline int Refusal(TVoiceClient& c, uint16_t code, const std::vector<uint8_t>& body,
                   std::vector<TClientDatagram>* others = nullptr, TClientDatagram* reply = nullptr) {
  c.QueueCommand(code, body);
  int result = 0;
  const uint16_t barrier = code == cmd::SetChannelOrder ? cmd::SetChannelTopic : cmd::SetChannelOrder;
  for (auto& d : Drain(c, barrier)) {
    if (IsErrorReply(d) && d.U16(24) == code && result == 0) {
      result = d.I16(2);
      if (reply) *reply = d;
    } else if (others) {
      others->push_back(std::move(d));
    }
  }
  return result;
}

// ---- the server's side ----

// Runs `fn` on a listed player's record under the server's locks.
inline void WithPlayer(TServerFixture& f, uint32_t id, const std::function<void(TClientObject&, TChannels&)>& fn) {
  f.WithChannels([&](TChannels& channels) {
    TClientObject* p = f.Server->ClientList->FindByID(id);
    ASSERT_NE(p, nullptr) << "player " << id;
    fn(*p, channels);
  });
}

inline TClientObject PlayerRecord(TServerFixture& f, uint32_t id) {
  TClientObject copy;
  WithPlayer(f, id, [&](TClientObject& p, TChannels&) { copy = p; });
  return copy;
}

inline uint32_t AddChannel(TServerFixture& f, const TChannelRecord& r) {
  int64_t id = -1;
  f.WithChannels([&](TChannels& channels) { id = channels.AddChannel(r); });
  EXPECT_GE(id, 0) << r.Name;
  return static_cast<uint32_t>(id);
}

inline bool ChannelExists(TServerFixture& f, uint32_t id) {
  bool found = false;
  f.WithChannels([&](TChannels& channels) { found = channels.FindByID(id) != nullptr; });
  return found;
}

// A client logged in anonymously and entered into `channel` (and `sub`);
// its lists are read into Channels and Players, and its inbox is empty.
inline std::unique_ptr<TVoiceClient> Join(TServerFixture& f, const std::string& nick, const std::string& channel = "",
                                          const std::string& sub = "", const std::string& password = "") {
  auto c = f.NewClient();
  TLoginRequest r;
  r.NickName = nick;
  const TLoginReply reply = c->Login(r);
  if (!reply.Received || reply.Result != 1 || !c->Enter(channel, sub, password)) {
    ADD_FAILURE() << nick << " could not join";
    return nullptr;
  }
  c->Commands.clear();
  return c;
}

// A client logged in with a new account of these privileges (ServerAdmin for
// an administrator) and entered into `channel`, like Join.
inline std::unique_ptr<TVoiceClient> JoinRegistered(TServerFixture& f, const std::string& login, uint16_t privileges,
                                                    const std::string& channel = "") {
  TClientObject account;
  account.LoginName = login;
  account.Password = "pw";
  account.PlayerPrivileges = privileges;
  EXPECT_TRUE(AddUser(account, TServerFixture::kDefaultID));
  auto c = f.NewClient();
  TLoginRequest r;
  r.NickName = login;
  r.LoginName = login;
  r.Password = "pw";
  const TLoginReply reply = c->Login(r);
  if (!reply.Received || reply.Result != 1 || !c->Enter(channel)) {
    ADD_FAILURE() << login << " could not join";
    return nullptr;
  }
  c->Commands.clear();
  return c;
}

}  // namespace kit
