// parleon-hostile: what hostile peers cost the players who behave. It starts
// a virtual server in-process on a loopback port (its files in a temporary
// folder) with 50 players in ten channels of five; each speaks 25 frames a
// second and asks for the server information every half second. One attack
// after another then runs for a bounded time while they talk:
//
//   voice    one logged-in player floods its channel with voice
//   refused  50,000 logins from many source ports that are refused
//   whisper  one player whispers to 255 entries naming every channel
//   guess    wrong passwords for the administrator's account, as fast as
//            one socket goes
//   port0    datagrams from port 0, broadcast and multicast sources (no
//            socket can send those on loopback, so they are handed to the
//            packet buffer as the socket reader would)
//
// Per phase it prints the commands of the well-behaved players that were
// acknowledged but never answered (must be 0), their worst command round
// trip, the share of their voice that was delivered, the server's bytes sent
// per byte received, and the peak resident memory.
//
// Usage: parleon-hostile [--seconds S] (each phase; 1 to 20, default 4).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/Globals.h"
#include "common/IniFile.h"
#include "client/VoiceClient.h"
#include "common/CommandCodes.h"
#include "common/Packets.h"
#include "common/WireFormat.h"
#include "database/Accounts.h"
#include "database/FreeBase.h"
#include "database/ServerDatabase.h"
#include "server/ServerList.h"
#include "server/ServerObject.h"
#include "server/ServerSettings.h"
#include "tools/InProcessServer.h"
#include "server/ServerInternals.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr int kPlayers = 50;
constexpr int kRooms = 10;
constexpr auto kFrameEvery = milliseconds(40);
constexpr auto kCommandEvery = milliseconds(500);
constexpr auto kAnswerWithin = milliseconds(3000);
constexpr char kServerID[] = "server_cfg Hostile";

double Ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// What the well-behaved players saw during one phase.
struct TFigures {
  uint64_t Commands = 0;   // answered
  uint64_t Lost = 0;       // acknowledged, never answered
  double WorstRttMs = 0;   // from sending to the answer
  uint64_t FramesSent = 0;
  uint64_t Delivered = 0;  // frames of well-behaved speakers that arrived
  long PeakRssKiB = 0;
};

struct TPlayer {
  std::unique_ptr<TVoiceClient> Client;
  Clock::time_point NextFrame, NextCommand, Sent;
  bool Asking = false;  // a ServerInfo is out
  bool Acked = false;
  int Phase = 0;        // the phase the question was asked in
};

// Drives the 50 players from one thread until told to stop, filing every
// figure under the phase that is current when it happens.
class TPlayers {
 public:
  explicit TPlayers(uint16_t port) {
    for (int i = 0; i < kPlayers; ++i) {
      auto c = std::make_unique<TVoiceClient>(port);
      TLoginRequest r;
      r.NickName = "p" + std::to_string(i);
      if (c->Login(r).Result != 1 || !c->Enter("Room" + std::to_string(i % kRooms))) {
        std::fprintf(stderr, "player %d did not get in\n", i);
        std::exit(1);
      }
      c->KeepVoice = false;
      ids_.push_back(c->PlayerID);
      players_.push_back(TPlayer{std::move(c), {}, {}, {}, false, false, 0});
    }
    for (TPlayer& p : players_) {
      p.Client->OnVoice = [this](const uint8_t* d, size_t size) {
        // The frame names the phase it was sent in: late arrivals count there.
        if (size > kVoiceS2CHeaderSize && d[kVoiceS2CHeaderSize] < std::size(figures_) &&
            std::find(ids_.begin(), ids_.end(), wire::GetU32(d + 16)) != ids_.end())
          ++figures_[d[kVoiceS2CHeaderSize]].Delivered;
      };
    }
  }

  void Run(std::atomic<bool>& stop) {
    std::vector<pollfd> fds;
    for (TPlayer& p : players_) fds.push_back(pollfd{p.Client->Fd(), POLLIN, 0});
    uint8_t frame[20] = {};
    auto lastRss = Clock::now();
    while (!stop) {
      poll(fds.data(), fds.size(), 5);
      const auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      TFigures& f = figures_[phase_.load()];
      frame[0] = static_cast<uint8_t>(phase_.load());
      for (TPlayer& p : players_) {
        TVoiceClient& c = *p.Client;
        c.Pump();
        c.Service(now);
        if (now >= p.NextFrame) {
          c.SendVoice(0, 0, 0, frame, sizeof frame);
          f.FramesSent += kPlayers / kRooms - 1;  // deliveries expected
          p.NextFrame = now + kFrameEvery;
        }
        Ask(p, now);
        c.Commands.clear();
      }
      if (now - lastRss > milliseconds(100)) {
        f.PeakRssKiB = std::max(f.PeakRssKiB, ResidentKiB());
        lastRss = now;
      }
    }
  }

  void SetPhase(int phase) { phase_ = phase; }
  TFigures Take(int phase) {
    std::lock_guard<std::mutex> lock(mutex_);
    return figures_[phase];
  }
  uint32_t FirstPlayerID() const { return ids_[0]; }

 private:
  // One ServerInfo at a time per player: sent, acknowledged, answered.
  void Ask(TPlayer& p, Clock::time_point now) {
    TVoiceClient& c = *p.Client;
    if (!p.Asking) {
      if (now < p.NextCommand) return;
      c.QueueCommand(cmd::ServerInfo, {});
      p.Asking = true;
      p.Acked = false;
      p.Sent = now;
      p.Phase = phase_.load();
      return;
    }
    if (!c.CommandPending()) p.Acked = true;
    TFigures& f = figures_[p.Phase];
    for (const TClientDatagram& d : c.Commands)
      if (d.Code() == cmd::ServerInfoReply) {
        ++f.Commands;
        f.WorstRttMs = std::max(f.WorstRttMs, Ms(d.Received - p.Sent));
        p.Asking = false;
        p.NextCommand = p.Sent + kCommandEvery;
        return;
      }
    if (p.Acked && now - p.Sent > kAnswerWithin) {
      ++f.Lost;
      p.Asking = false;
      p.NextCommand = now;
    }
  }

  std::vector<TPlayer> players_;
  std::vector<uint32_t> ids_;
  std::atomic<int> phase_{0};
  std::mutex mutex_;
  TFigures figures_[8];
};

std::vector<uint8_t> LoginRequest(const std::string& nick, uint16_t release, const std::string& login = "",
                                  const std::string& password = "") {
  return LoginDatagram("hostile", nick, login, password, release);
}

// Runs `step` (one datagram) at about `rate` per second until `until` or
// `limit` datagrams; returns how many went.
template <typename Step>
uint64_t Paced(int rate, Clock::time_point until, uint64_t limit, Step step) {
  const auto start = Clock::now();
  uint64_t sent = 0;
  while (Clock::now() < until && sent < limit) {
    const auto due = static_cast<uint64_t>(std::chrono::duration<double>(Clock::now() - start).count() * rate);
    while (sent < due && sent < limit) step(sent++);
    std::this_thread::sleep_for(milliseconds(1));
  }
  return sent;
}

// A player of its own that attacks from inside a channel.
std::unique_ptr<TVoiceClient> Insider(uint16_t port, const std::string& nick) {
  auto c = std::make_unique<TVoiceClient>(port);
  TLoginRequest r;
  r.NickName = nick;
  if (c->Login(r).Result != 1 || !c->Enter("Room0")) std::exit(1);
  c->KeepVoice = false;
  return c;
}

std::string Attack(int phase, TServerObject& server, Clock::time_point until) {
  const uint16_t port = server.BoundPort();
  char note[160];
  switch (phase) {
    case 1: {
      auto flooder = Insider(port, "flooder");
      const uint8_t frame[20] = {};
      const uint64_t n = Paced(20000, until, UINT64_MAX, [&](uint64_t i) {
        flooder->SendVoice(0, 0, 0, frame, sizeof frame);
        if (i % 64 == 0) flooder->Pump();
      });
      std::snprintf(note, sizeof note, "%llu voice datagrams from one player", static_cast<unsigned long long>(n));
      return note;
    }
    case 2: {
      std::vector<int> fds;
      for (int i = 0; i < 256; ++i) fds.push_back(LoopbackSocket(port));
      const uint64_t n = Paced(20000, until + std::chrono::seconds(30), 50000, [&](uint64_t i) {
        const auto d = LoginRequest("old" + std::to_string(i), 12);  // too old a client: refused
        (void)send(fds[i % fds.size()], d.data(), d.size(), 0);
      });
      for (int fd : fds) close(fd);
      std::snprintf(note, sizeof note, "%llu refused logins", static_cast<unsigned long long>(n));
      return note;
    }
    case 3: {
      auto whisperer = Insider(port, "whisperer");
      std::vector<uint8_t> body{255};
      for (int i = 0; i < 255; ++i) {
        body.push_back(0);  // a channel entry
        const uint32_t channel = 1 + static_cast<uint32_t>(i % kRooms);
        for (int b = 0; b < 4; ++b) body.push_back(static_cast<uint8_t>(channel >> (8 * b)));
      }
      body.resize(body.size() + 20);
      const uint64_t n = Paced(1000, until, UINT64_MAX, [&](uint64_t) {
        whisperer->SendVoice(1, 0, 0, body.data(), body.size());
        whisperer->Pump();
      });
      std::snprintf(note, sizeof note, "%llu whispers of %zu bytes naming every channel 25 times",
                    static_cast<unsigned long long>(n), body.size() + 16);
      return note;
    }
    case 4: {
      const uint32_t before = GetUser("admin", kServerID, false)->Logins;
      const int fd = LoopbackSocket(port);
      uint64_t answers = 0;
      const uint64_t n = Paced(5000, until, UINT64_MAX, [&](uint64_t i) {
        const auto d = LoginRequest("guess", 20, "admin", "guess" + std::to_string(i));
        (void)send(fd, d.data(), d.size(), 0);
        uint8_t reply[512];
        while (recv(fd, reply, sizeof reply, 0) > 0) ++answers;
      });
      close(fd);
      const uint32_t checked = GetUser("admin", kServerID, false)->Logins - before;
      std::snprintf(note, sizeof note, "%llu wrong passwords, %llu answered, %u checked against the account",
                    static_cast<unsigned long long>(n), static_cast<unsigned long long>(answers), checked);
      return note;
    }
    case 5: {
      const char* sources[] = {"127.0.0.1", "255.255.255.255", "224.0.0.1"};
      const uint64_t n = Paced(5000, until, UINT64_MAX, [&](uint64_t i) {
        const auto d = LoginRequest("spoof", 20);
        auto packet = std::make_unique<TPacket>(d.data(), d.size());
        packet->SetAddress(sources[i % 3], i % 3 == 0 ? 0 : 7000);
        const auto hold = server.HoldMachinery();
        if (server.Running()) TServerInternals::PacketBuffer(server)->TryStoreReceivedPacket(std::move(packet));
      });
      std::snprintf(note, sizeof note, "%llu login requests from port 0, broadcast and multicast",
                    static_cast<unsigned long long>(n));
      return note;
    }
    default:
      std::this_thread::sleep_until(until);
      return "none";
  }
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 4;
  for (int i = 1; i + 1 < argc; i += 2)
    if (std::string(argv[i]) == "--seconds") seconds = std::clamp(std::atof(argv[i + 1]), 1.0, 20.0);
  const std::optional<TServerEnvironment> home = MakeScratchHome("parleon-hostile");
  if (!home) return 2;
  const TServerEnvironment& environment = *home;
  TClientObject admin;
  admin.LoginName = "admin";
  admin.Password = "a-long-right-password";
  admin.PlayerPrivileges = PlayerPrivileges::ServerAdmin;
  AddUser(admin, kServerID);

  TServerSettings settings;
  settings.ServerMaxUsers = 200;
  TIniFile ini(environment.SettingsFile);
  settings.Write(ini, kServerID);
  auto server = std::make_shared<TServerObject>();
  if (!server->Start(environment, kServerID, 0, nullptr)) return 1;
  for (int tries = 0; !server->ChannelsLoaded && tries < 500; ++tries) std::this_thread::sleep_for(milliseconds(10));
  {
    const auto hold = server->HoldMachinery();
    TClientListLock clients(*TServerInternals::ClientList(*server));
    TChannelsLock channels(*TServerInternals::Channels(*server));
    for (int k = 0; k < kRooms; ++k) {
      TChannelRecord room;
      room.Name = "Room" + std::to_string(k);
      room.MaxUsers = 100;
      TServerInternals::Channels(*server)->AddChannel(std::move(room));
    }
  }
  TPlayers players(server->BoundPort());
  std::atomic<bool> stop{false};
  std::thread driver([&] { players.Run(stop); });

  const char* names[] = {"quiet", "voice", "refused", "whisper", "guess", "port0"};
  std::printf("%d players in %d channels, %d frames/s each, one command per %lld ms; %.0f s per phase\n", kPlayers,
              kRooms, static_cast<int>(1000 / kFrameEvery.count()), static_cast<long long>(kCommandEvery.count()),
              seconds);
  std::printf("%-8s %8s %6s %9s %9s %10s %9s  %s\n", "phase", "answered", "lost", "worst ms", "delivery",
              "sent/recv", "RSS KiB", "attack");
  for (int phase = 0; phase < 6; ++phase) {
    players.SetPhase(phase);
    const TBufferStatistics before = TServerInternals::PacketBuffer(*server)->GetStatistics();
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    const std::string note = Attack(phase, *server, until);
    std::this_thread::sleep_until(until);
    // The answers to questions asked late in the phase are still counted.
    players.SetPhase(7);
    std::this_thread::sleep_for(kAnswerWithin + milliseconds(500));
    const TBufferStatistics after = TServerInternals::PacketBuffer(*server)->GetStatistics();
    const TFigures f = players.Take(phase);
    const double received = static_cast<double>(after.BytesReceived - before.BytesReceived);
    std::printf("%-8s %8llu %6llu %9.1f %8.2f%% %10.2f %9ld  %s\n", names[phase],
                static_cast<unsigned long long>(f.Commands), static_cast<unsigned long long>(f.Lost), f.WorstRttMs,
                f.FramesSent ? 100.0 * static_cast<double>(f.Delivered) / static_cast<double>(f.FramesSent) : 0.0,
                received > 0 ? static_cast<double>(after.BytesSent - before.BytesSent) / received : 0.0, f.PeakRssKiB,
                note.c_str());
    std::fflush(stdout);
  }
  stop = true;
  driver.join();
  ServerList.load()->StopServer("");
  delete ServerList.exchange(nullptr);
  RemoveServerDatabase();
  std::filesystem::remove_all(std::filesystem::path(environment.SettingsFile).parent_path());
  return 0;
}
