// parleon-watch: a handful of players for tests that drive the server from
// outside (the browser test): it logs players in on command and prints every
// command the server sends them, one line each, so that a script can check
// what the players were told. Players keep their connections alive with pings
// and can be made to talk, which gives the server voice traffic to show.
//
// Commands, one per line on stdin:
//   login NICK [LOGINNAME PASSWORD]   log in (registered when a login name is given) and enter
//   talk NICK FRAMES                  send FRAMES voice frames of 100 bytes to NICK's channel, 20 ms apart
//   channel NICK NAME [PARENT [FLAGS]] NICK creates a channel (FLAGS 0: registered, which needs a
//                                     server administrator; PARENT an id, none: top level)
//   quit                              end (so does the end of stdin)
// Lines on stdout, fields separated by TAB:
//   LOGIN NICK id=ID result=RESULT name=SERVERNAME welcome=TEXT   (result 1: logged in and entered)
//   CHANNEL NICK NAME acked=0|1       (the server's answer arrives as a NOTICE: 110 created, else an error)
//   TALKED NICK FRAMES
//   NOTICE NICK code=CODE [field=value ...]
// Texts are printed as the server sent them (bytes of its single-byte code
// page), with TAB, CR and LF made blanks.
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "client/VoiceClient.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kPingEvery = std::chrono::seconds(5);  // the server forgets a silent client after 15 s

struct TPlayer {
  std::unique_ptr<TVoiceClient> Client;
  int FramesLeft = 0;
  Clock::time_point NextFrame{}, NextPing{};
};

std::string Clean(std::string s) {
  for (char& c : s)
    if (c == '\t' || c == '\r' || c == '\n') c = ' ';
  return s;
}

// The fields of the notices a test checks; others show their code only.
std::string Fields(const TClientDatagram& d) {
  std::ostringstream out;
  out << "code=" << d.Code();
  switch (d.Code()) {
    case 101:  // PlayerLeft
      if (d.Size() >= 64)
        out << "\tplayer=" << d.U32(24) << "\treason=" << d.U16(28) << "\tcauser=" << d.U32(30)
            << "\tmessage=" << Clean(d.Str(34, 29));
      break;
    case 102:  // PlayerKickedFromChannel
    case 103:  // PlayerSwitchedChannel
      if (d.Size() >= 38) out << "\tplayer=" << d.U32(24) << "\tfrom=" << d.U32(28) << "\tto=" << d.U32(32);
      break;
    case 110:  // ChannelCreated: the record follows the causer's id
      if (d.Size() >= 58) out << "\tchannel=" << d.U32(24) << "\tname=" << Clean(d.Str(36, 29));
      break;
    case 130:  // TextMessage
      if (d.Size() >= 314)
        out << "\tvalue=" << d.U32(280) << "\tsender=" << Clean(d.Str(284, 29)) << "\ttext=" << Clean(d.Str(24, 255));
      break;
    default:
      break;
  }
  return out.str();
}

void Say(const std::string& line) {
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string host = "127.0.0.1";
  int port = 0;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--host") == 0) host = argv[i + 1];
    if (std::strcmp(argv[i], "--port") == 0) port = std::atoi(argv[i + 1]);
  }
  if (port <= 0 || port > 65535) {
    std::fprintf(stderr, "usage: %s --port UDPPORT [--host ADDRESS]\n", argv[0]);
    return 2;
  }
  std::map<std::string, TPlayer> players;
  std::string pending;  // stdin read so far
  for (bool open = true; open;) {
    std::vector<pollfd> fds{{STDIN_FILENO, POLLIN, 0}};
    for (auto& [nick, p] : players) fds.push_back({p.Client->Fd(), POLLIN, 0});
    poll(fds.data(), fds.size(), 20);
    if (fds[0].revents & (POLLIN | POLLHUP)) {
      char buf[4096];
      const ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
      if (got <= 0) break;
      pending.append(buf, static_cast<size_t>(got));
    }
    for (size_t eol; open && (eol = pending.find('\n')) != std::string::npos;) {
      std::istringstream words(pending.substr(0, eol));
      pending.erase(0, eol + 1);
      std::string verb, nick;
      words >> verb >> nick;
      if (verb == "quit") {
        open = false;
      } else if (verb == "login" && !nick.empty()) {
        TLoginRequest request;
        request.NickName = nick;
        words >> request.LoginName >> request.Password;
        TPlayer& p = players[nick];
        p.Client = std::make_unique<TVoiceClient>(static_cast<uint16_t>(port), host);
        const TLoginReply reply = p.Client->Login(request);
        const bool entered = reply.Received && reply.Result == 1 && p.Client->Enter();
        Say("LOGIN\t" + nick + "\tid=" + std::to_string(p.Client->PlayerID) +
            "\tresult=" + std::to_string(entered ? 1 : reply.Result) + "\tname=" + Clean(reply.ServerName) +
            "\twelcome=" + Clean(reply.WelcomeMessage));
        p.NextPing = Clock::now() + kPingEvery;
      } else if (verb == "channel" && players.count(nick)) {
        std::string name;
        uint32_t parent = 0xFFFFFFFFu, flags = 0;
        words >> name >> parent >> flags;
        std::vector<uint8_t> p;
        payload::PutU16(p, static_cast<uint16_t>(flags));
        payload::PutU16(p, 0);  // codec CELP 5.1
        payload::PutU32(p, parent);
        payload::PutStr(p, 29, name);
        payload::PutStr(p, 29, name + " topic");
        payload::PutStr(p, 99, "");
        payload::PutStr(p, 29, "");
        payload::PutU16(p, 0);
        payload::PutU16(p, 100);
        const bool acked = players[nick].Client->SendCommand(201, p);
        Say("CHANNEL\t" + nick + "\t" + name + "\tacked=" + (acked ? "1" : "0"));
      } else if (verb == "talk" && players.count(nick)) {
        words >> players[nick].FramesLeft;
        players[nick].NextFrame = Clock::now();
      }
    }
    const auto now = Clock::now();
    for (auto& [nick, p] : players) {
      TVoiceClient& c = *p.Client;
      c.Pump();
      c.Service(now);
      for (; !c.Commands.empty(); c.Commands.pop_front()) Say("NOTICE\t" + nick + "\t" + Fields(c.Commands.front()));
      c.Voice.clear();
      if (p.FramesLeft > 0 && now >= p.NextFrame) {
        const std::vector<uint8_t> frame(100, 0x55);
        c.SendVoice(0, 0, 0, frame.data(), frame.size());
        p.NextFrame = now + std::chrono::milliseconds(20);
        if (--p.FramesLeft == 0) Say("TALKED\t" + nick);
      }
      if (now >= p.NextPing) {
        c.SendPing();
        p.NextPing = now + kPingEvery;
      }
    }
  }
  return 0;
}
