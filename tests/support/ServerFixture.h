// Test support: virtual servers started in-process on free loopback ports,
// each with its section in a temporary server.ini, a process-wide database
// in a temporary file, and voice clients that log in to them. Tests set the
// settings before Start; everything stops when the fixture goes.
//
// It installs the process-wide objects it needs (ServerList when there is
// none, the database) and removes them again; its servers bind 127.0.0.1.
// One fixture per test; the calling thread only.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "client/VoiceClient.h"
#include "server/ServerObject.h"
#include "server/ServerSettings.h"
#include "support/TempDir.h"

class TServerListObject;

// A channel record as a test adds it: topic "<name> topic", description
// "<name> description", room for 100, order 7.
TChannelRecord TestChannel(const std::string& name, uint16_t flags = 0, uint32_t parent = kNoParent);

class TServerFixture {
 public:
  static constexpr char kDefaultID[] = "server_cfg Default";

  TServerFixture();
  ~TServerFixture();
  TServerFixture(const TServerFixture&) = delete;
  TServerFixture& operator=(const TServerFixture&) = delete;

  // Written to the server's section by Start; ServerUDPPort 0 binds a port
  // the system chooses (Port() tells which).
  TServerSettings Settings;
  // Given to the server at Start; none: the system clock.
  TClock* Clock = nullptr;
  // Given to every server the fixture or a test starts: the fixture's
  // server.ini, loopback, this build's version.
  TServerEnvironment Environment;

  // Writes Settings to section `id` and starts a server for it; false when
  // Start refused (the server object stays in `Server` for inspection).
  bool Start(const std::string& id = kDefaultID);
  // Stops and removes the server (its channels are stored).
  void Stop();
  // Writes `settings` to section `id` of the fixture's server.ini.
  void WriteSettings(const std::string& id, const TServerSettings& settings);
  uint16_t Port() const { return Server ? Server->BoundPort() : 0; }
  std::string IniFile() const { return Dir.File("server.ini"); }
  std::string DbFile() const { return Dir.File("server.db"); }

  // A client of the running server (not logged in).
  std::unique_ptr<TVoiceClient> NewClient();
  // A client logged in anonymously with `nick` and entered, or none (with a
  // test failure) when either step did not complete.
  std::unique_ptr<TVoiceClient> Connect(const std::string& nick);
  std::unique_ptr<TVoiceClient> Connect(const TLoginRequest& request);
  // The same for the server on `port` (another one the test started).
  static std::unique_ptr<TVoiceClient> ConnectTo(uint16_t port, const std::string& nick);
  static std::unique_ptr<TVoiceClient> ConnectTo(uint16_t port, const TLoginRequest& request);

  // Runs `f` on the running server's channels under its locks, once the
  // listener has loaded them.
  void WithChannels(const std::function<void(TChannels&)>& f);

  // Polls `done` until it holds or `timeout` passes.
  static bool WaitFor(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

  TTempDir Dir;
  TServerRef Server;

 private:
  TServerListObject* ownList_ = nullptr;
};
