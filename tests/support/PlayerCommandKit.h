// Test support for the player commands over loopback: payload builders,
// registered logins, error-reply checks and a look at a player's record on
// the server. Header-only; used with TServerFixture on the test thread.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <utility>
#include <string>
#include <vector>

#include "client/VoiceClient.h"
#include "database/Accounts.h"
#include "server/Channels.h"
#include "server/ClientObject.h"
#include "support/ServerFixture.h"

namespace player_kit {

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

// Logs in (with the account `login` unless it is empty) and enters
// `channel` / `sub`; none, with a test failure, when a step fails.
inline std::unique_ptr<TVoiceClient> Join(TServerFixture& f, const std::string& nick, const std::string& login = "",
                                          const std::string& channel = "", const std::string& sub = "") {
  TLoginRequest request;
  request.NickName = nick;
  request.LoginName = login;
  request.Password = login.empty() ? "" : PasswordOf(login);
  auto client = f.NewClient();
  const TLoginReply reply = client->Login(request);
  if (!reply.Received || reply.Result != 1) {
    ADD_FAILURE() << "login of " << nick << ": received " << reply.Received << ", result " << reply.Result;
    return nullptr;
  }
  if (!client->Enter(channel, sub)) {
    ADD_FAILURE() << "enter of " << nick << " did not complete";
    return nullptr;
  }
  return client;
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

// A copy of the player's record as the server keeps it; PlayerID 0 when the
// player is not listed.
inline TClientObject PlayerRecord(TServerFixture& f, uint32_t id) {
  const auto hold = f.Server->HoldMachinery();
  TClientListLock lock(*f.Server->ClientList);
  const TClientObject* p = f.Server->ClientList->FindByID(id);
  return p ? *p : TClientObject{};
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

}  // namespace player_kit
