#include "support/ServerFixture.h"

#include <gtest/gtest.h>

#include <thread>

#include "app/Globals.h"
#include "common/CommandCodes.h"
#include "common/IniFile.h"
#include "common/LoginThrottle.h"
#include "common/PassedSockets.h"
#include "database/FreeBase.h"
#include "database/ServerDatabase.h"
#include "server/ServerList.h"
#include "server/ServerInternals.h"

TChannelRecord TestChannel(const std::string& name, uint16_t flags, uint32_t parent) {
  TChannelRecord r;
  r.Name = name;
  r.Topic = name + " topic";
  r.Description = name + " description";
  r.Flags = flags;
  r.Parent = parent;
  r.MaxUsers = 100;
  r.Order = 7;
  return r;
}

TServerFixture::TServerFixture() {
  Environment = {IniFile(),           "127.0.0.1",           "Linux",            ServerVersion.Major,
                 ServerVersion.Minor, ServerVersion.Release, ServerVersion.Build};
  Settings.ServerUDPPort = 0;
  // Every test logs in from loopback: wrong passwords of earlier tests must
  // not block this one's logins.
  ProcessLoginThrottle().Clear();
  if (!ServerList.load()) {
    ownList_ = new TServerListObject;
    ServerList = ownList_;
  }
  auto db = std::make_shared<TFreeBase>();
  db->SetOpenFlag(TFBOpenFlag::CreateNotExists);
  db->SetFileName(DbFile());
  db->SetActive(true);
  InstallServerDatabase(std::move(db));
}

TServerFixture::~TServerFixture() {
  Stop();
  // Ports passed for servers that never took them go with the test.
  ClosePassedSockets();
  if (ownList_) {
    ServerList = nullptr;
    delete ownList_;
  }
  RemoveServerDatabase();
}

bool TServerFixture::Start(const std::string& id) {
  WriteSettings(id, Settings);
  Server = std::make_shared<TServerObject>();
  Server->Clock = Clock;
  return Server->Start(Environment, id, -1, nullptr);
}

void TServerFixture::WriteSettings(const std::string& id, const TServerSettings& settings) {
  TIniFile ini(IniFile());
  settings.Write(ini, id);
}

void TServerFixture::Stop() {
  if (!Server) return;
  if (Server->Running()) GetServerList()->StopServer(Server->ServerID);
}

std::unique_ptr<TVoiceClient> TServerFixture::NewClient() { return std::make_unique<TVoiceClient>(Port()); }

std::unique_ptr<TVoiceClient> TServerFixture::Connect(const std::string& nick) {
  TLoginRequest request;
  request.NickName = nick;
  return Connect(request);
}

std::unique_ptr<TVoiceClient> TServerFixture::Connect(const TLoginRequest& request) {
  return ConnectTo(Port(), request);
}

std::unique_ptr<TVoiceClient> TServerFixture::ConnectTo(uint16_t port, const std::string& nick) {
  TLoginRequest request;
  request.NickName = nick;
  return ConnectTo(port, request);
}

std::unique_ptr<TVoiceClient> TServerFixture::ConnectTo(uint16_t port, const TLoginRequest& request) {
  auto client = std::make_unique<TVoiceClient>(port);
  const TLoginReply reply = client->Login(request);
  if (!reply.Received || reply.Result != rc::LoginOk) {
    ADD_FAILURE() << "login of " << request.NickName << " failed: received " << reply.Received << ", result "
                  << reply.Result;
    return nullptr;
  }
  if (!client->Enter()) {
    ADD_FAILURE() << "enter of " << request.NickName << " did not complete";
    return nullptr;
  }
  return client;
}

void TServerFixture::WithChannels(const std::function<void(TChannels&)>& f) {
  ASSERT_TRUE(WaitFor([&] { return Server->ChannelsLoaded.load(); }));
  const auto hold = Server->HoldMachinery();
  ASSERT_TRUE(Server->Running());
  TClientListLock clients(*TServerInternals::ClientList(*Server));
  TChannelsLock channels(*TServerInternals::Channels(*Server));
  f(*TServerInternals::Channels(*Server));
}

bool TServerFixture::WaitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (done()) return true;
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
