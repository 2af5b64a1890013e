// Test support for the command tests over loopback: payload builders for the
// channel and player commands (encoded with the client library, never with
// the server's own record code, so an offset mistake on either side shows),
// joins, a barrier that collects every command a client has been sent so
// far, refusals read from the error reply, and the server's own record of a
// player. Header-only; used with TServerFixture on the test thread.
//
// The barrier works because the listener handles one event at a time and a
// connection delivers its commands in the order they were queued: once the
// reply to a command sent last has arrived, everything the server queued for
// that client before it has arrived too. No test has to sleep to be sure a
// notice did not come.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "client/VoiceClient.h"
#include "common/ClientObject.h"
#include "common/CommandCodes.h"
#include "database/Accounts.h"
#include "server/Channels.h"
#include "support/ServerFixture.h"
#include "server/ServerInternals.h"

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

// Flags, codec, parent, name, topic and description: how CreateChannel
// starts and EditChannel goes on after the id.
inline void PutChannelHead(std::vector<uint8_t>& p, const TChannelRecord& r) {
  payload::PutU16(p, r.Flags);
  payload::PutU16(p, r.Codec);
  payload::PutU32(p, r.Parent);
  payload::PutStr(p, 29, r.Name);
  payload::PutStr(p, 29, r.Topic);
  payload::PutStr(p, 99, r.Description);
}

// CreateChannel: flags, codec, parent, name, topic, description, password, order, max users.
inline std::vector<uint8_t> Create(const TChannelRecord& r) {
  std::vector<uint8_t> p;
  PutChannelHead(p, r);
  payload::PutStr(p, 29, r.Password);
  payload::PutU16(p, r.Order);
  payload::PutU16(p, r.MaxUsers);
  return p;
}

// EditChannel: the 206-byte channel record: id, flags, codec, parent, name,
// topic, description, order, max users, password.
inline std::vector<uint8_t> Edit(const TChannelRecord& r) {
  std::vector<uint8_t> p;
  payload::PutU32(p, r.ID);
  PutChannelHead(p, r);
  payload::PutU16(p, r.Order);
  payload::PutU16(p, r.MaxUsers);
  payload::PutStr(p, 29, r.Password);
  return p;
}

// KickPlayer, KickFromChannel: player id and a str29 message.
inline std::vector<uint8_t> PlayerAndMessage(uint32_t id, const std::string& message) {
  std::vector<uint8_t> p;
  payload::PutU32(p, id);
  payload::PutStr(p, 29, message);
  return p;
}

// SetChannelPrivilege, SetPlayerPrivilege.
inline std::vector<uint8_t> Privilege(uint32_t id, uint8_t action, uint8_t bit) {
  std::vector<uint8_t> p;
  payload::PutU32(p, id);
  payload::PutU8(p, action);
  payload::PutU8(p, bit);
  return p;
}

inline std::vector<uint8_t> U32(uint32_t value) {
  std::vector<uint8_t> p;
  payload::PutU32(p, value);
  return p;
}

inline std::vector<uint8_t> Str29(const std::string& text) {
  std::vector<uint8_t> p;
  payload::PutStr(p, 29, text);
  return p;
}

// RegisterSelf (no admin byte) and RegisterUser (with it).
inline std::vector<uint8_t> Registration(const std::string& login, const std::string& password) {
  std::vector<uint8_t> p;
  payload::PutStr(p, 29, login);
  payload::PutStr(p, 29, password);
  return p;
}
inline std::vector<uint8_t> Registration(const std::string& login, const std::string& password, uint8_t admin) {
  std::vector<uint8_t> p = Registration(login, password);
  payload::PutU8(p, admin);
  return p;
}

inline std::vector<uint8_t> Text(const std::string& text, uint32_t value, int32_t channel) {
  std::vector<uint8_t> p;
  payload::PutStr(p, 255, text);
  payload::PutU32(p, value);
  payload::PutU32(p, static_cast<uint32_t>(channel));
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
    if (d->I16(2) == rc::NoChannel && d->U16(24) == barrier) return seen;
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
    TClientObject* p = TServerInternals::ClientList(*f.Server)->FindByID(id);
    ASSERT_NE(p, nullptr) << "player " << id;
    fn(*p, channels);
  });
}

// A copy of a listed player's record as the server keeps it (a test failure
// when the player is not listed).
inline TClientObject PlayerRecord(TServerFixture& f, uint32_t id) {
  TClientObject copy;
  WithPlayer(f, id, [&](TClientObject& p, TChannels&) { copy = p; });
  return copy;
}

// The same for a player that may be gone: none when it is not listed.
inline std::optional<TClientObject> FindPlayerRecord(TServerFixture& f, uint32_t id) {
  const auto hold = f.Server->HoldMachinery();
  TClientListLock lock(*TServerInternals::ClientList(*f.Server));
  const TClientObject* p = TServerInternals::ClientList(*f.Server)->FindByID(id);
  return p ? std::optional<TClientObject>(*p) : std::nullopt;
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

// The channels the player command tests use: Default, Lobby with its
// sub-channel Sub, Far (a family of its own) and the moderated Stage.
inline constexpr uint32_t kDefault = 0, kLobby = 1, kSub = 2, kFar = 3, kStage = 4;

inline void AddChannels(TServerFixture& f) {
  f.WithChannels([](TChannels& channels) {
    ASSERT_EQ(channels.AddChannel(TestChannel("Lobby", cfSubChannels)), kLobby);
    ASSERT_EQ(channels.AddChannel(TestChannel("Sub", 0, kLobby)), kSub);
    ASSERT_EQ(channels.AddChannel(TestChannel("Far")), kFar);
    ASSERT_EQ(channels.AddChannel(TestChannel("Stage", cfModerated)), kStage);
  });
}

inline std::string PasswordOf(const std::string& login) { return "pw-" + login; }

// Stores an account on the fixture's default server.
inline void AddAccount(const std::string& login, uint16_t privileges) {
  TClientObject account;
  account.LoginName = login;
  account.Password = PasswordOf(login);
  account.PlayerPrivileges = privileges;
  ASSERT_TRUE(AddUser(account, TServerFixture::kDefaultID)) << login;
}

inline std::unique_ptr<TClientObject> Account(const std::string& login) {
  return GetUser(login, TServerFixture::kDefaultID, false);
}

// Where and as whom a test client joins: the channel (empty: the default)
// and sub-channel with the channel password, and an account's login name
// (its password is PasswordOf(login); empty: anonymous).
struct TJoin {
  std::string Channel = "", Sub = "", Password = "";
  std::string Login = "";
};

// A client logged in and entered as `how` says; its lists are read into
// Channels and Players and its inbox is empty. None, with a test failure,
// when a step fails.
inline std::unique_ptr<TVoiceClient> Join(TServerFixture& f, const std::string& nick, const TJoin& how = {}) {
  TLoginRequest request;
  request.NickName = nick;
  request.LoginName = how.Login;
  request.Password = how.Login.empty() ? "" : PasswordOf(how.Login);
  auto client = f.NewClient();
  const TLoginReply reply = client->Login(request);
  if (!reply.Received || reply.Result != rc::LoginOk) {
    ADD_FAILURE() << "login of " << nick << ": received " << reply.Received << ", result " << reply.Result;
    return nullptr;
  }
  if (!client->Enter(how.Channel, how.Sub, how.Password)) {
    ADD_FAILURE() << "enter of " << nick << " did not complete";
    return nullptr;
  }
  client->Commands.clear();
  return client;
}

// A client logged in with a new account `login` of these privileges
// (ServerAdmin for an administrator) and entered into `channel`, like Join.
inline std::unique_ptr<TVoiceClient> JoinRegistered(TServerFixture& f, const std::string& login, uint16_t privileges,
                                                    const std::string& channel = "") {
  AddAccount(login, privileges);
  return Join(f, login, {.Channel = channel, .Login = login});
}

// A new client's login to the account `login` with `password`, not entered.
inline std::pair<std::unique_ptr<TVoiceClient>, int32_t> LoginWith(TServerFixture& f, const std::string& login,
                                                                   const std::string& password) {
  TLoginRequest request;
  request.NickName = login + " elsewhere";
  request.LoginName = login;
  request.Password = password;
  auto client = f.NewClient();
  const int32_t result = client->Login(request).Result;
  return {std::move(client), result};
}

// Waits for the ErrorReply `code` and checks that it names the refused command.
inline void ExpectRefusal(TVoiceClient& client, uint16_t command, int32_t code) {
  const auto reply = client.WaitCommand(static_cast<uint16_t>(static_cast<int16_t>(code)));
  ASSERT_TRUE(reply.has_value()) << "no reply " << code << " to command " << command;
  EXPECT_EQ(reply->Size(), 30u);
  EXPECT_EQ(reply->U16(24), command);
}

// A ChannelPrivilegeChanged or PlayerPrivilegeChanged notice.
inline void ExpectPrivilegeNotice(const std::optional<TClientDatagram>& notice, uint32_t player, uint8_t act,
                                  uint8_t bit, uint32_t causer) {
  ASSERT_TRUE(notice.has_value());
  EXPECT_EQ(notice->Size(), 34u);
  EXPECT_EQ(notice->U32(24), player);
  EXPECT_EQ(notice->U8(28), act);
  EXPECT_EQ(notice->U8(29), bit);
  EXPECT_EQ(notice->U32(30), causer);
}

// Sends a command the server must refuse with `code`.
inline void ExpectRefused(TVoiceClient& client, uint16_t command, const std::vector<uint8_t>& payload,
                          int32_t code) {
  ASSERT_TRUE(client.SendCommand(command, payload));
  ExpectRefusal(client, command, code);
}

}  // namespace kit
