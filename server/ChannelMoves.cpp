// The channel moves of a virtual server: join checks, switching, kicking,
// and the clean-up of empty temporary channel families.
#include "server/ChannelMoves.h"

#include <exception>
#include <string>
#include <vector>

#include "common/CaughtLog.h"
#include "common/CommandCodes.h"
#include "common/Log.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/Notifier.h"

namespace {

// The clean-up after a player left removes one empty temporary family per
// pass and starts again. A pass walks the channel list from its end; for each
// temporary family it meets, ChannelInUse looks at the family's own member
// lists and scans the list once more for its sub-channels, so one pass costs
// up to (temporary families) x (channels) record visits with both locks held.
// A departure normally empties one family: two passes. The bound caps a list
// that would never settle at a known amount of work instead of a hang.
constexpr int kClearChannelUpPasses = 1001;

// PlayerFlags::KeptInFamily survives a switch only between related
// channels: one is the other's parent, or both have the same parent (two
// top-level channels count as siblings).
bool Related(const TChannelRecord& from, const TChannelRecord& to) {
  return from.Parent == to.ID || from.Parent == to.Parent || to.Parent == from.ID;
}

}  // namespace

// ---- joining and switching ------------------------------------------------------------

int32_t TChannelMoves::JoinCheck(uint32_t channelID, std::string_view password) const {
  const TChannelRecord* channel = channels_.FindByID(channelID);
  if (!channel) return rc::NoChannel;
  // A sub-channel is guarded by its parent's password.
  const TChannelRecord* guard = channel;
  if (!channel->IsTopLevel())
    if (const TChannelRecord* parent = channels_.FindByID(channel->Parent)) guard = parent;
  if (!guard->Password.empty()) {
    if (password.empty()) return rc::PasswordRequired;
    if (password != guard->Password) return 1;
  }
  if (clients_.CountInChannel(channelID) >= channel->MaxUsers) return rc::ChannelFull;
  return 0;
}

void TChannelMoves::ApplyAutoRights(TClientObject& p) {
  if (p.ChannelPrivileges & ChannelPrivileges::AutoOperator) p.ChannelPrivileges |= ChannelPrivileges::Operator;
  if (p.ChannelPrivileges & ChannelPrivileges::AutoVoice) p.ChannelPrivileges |= ChannelPrivileges::Voice;
}

void TChannelMoves::SwitchPlayer(TClientObject& p, uint32_t target) {
  const TChannelRecord* to = channels_.FindByID(target);
  if (!to) return;
  const uint32_t old = p.ChannelID;
  const TChannelRecord* from = channels_.FindByID(old);
  uint32_t flags = p.PlayerFlags & ~PlayerFlags::VoiceRequested;
  if (!from || !Related(*from, *to)) flags &= ~PlayerFlags::KeptInFamily;
  p.PlayerFlags = flags;
  clients_.MovePlayer(&p, target);

  // Rights follow the family: anonymous players start from nothing.
  p.ChannelPrivileges = 0;
  if (p.PlayerPrivileges & PlayerPrivileges::Registered)
    p.ChannelPrivileges = channels_.GetUserRights(target, p.LoginName.Text());
  ApplyAutoRights(p);

  notifier_.AnnounceSwitch(p, old, target);
  notifier_.NotifyPlayerFlags(p);
  ClearChannelUp(old, p.PlayerID);
}

void TChannelMoves::KickPlayer(TClientObject& target, std::string_view message, uint32_t causer) {
  // The target's PlayerLeft goes out with close-after-sending; the loop
  // removes the player when the packet buffer reports the closed connection.
  notifier_.AnnouncePlayerLeft(target.PlayerID, cmd::LeftKicked, message, causer);
}

// ---- channels going away ----------------------------------------------------------------

int32_t TChannelMoves::ChannelInUse(uint32_t channelID) const {
  if (clients_.CountInChannel(channelID) > 0) return rc::ChannelNotEmpty;
  const TChannelRecord* channel = channels_.FindByID(channelID);
  if (!channel || !channel->IsTopLevel()) return 0;
  for (const auto& sub : channels_.Records())
    if (sub->Parent == channelID && clients_.CountInChannel(sub->ID) > 0) return rc::ChannelNotEmpty;
  return 0;
}

namespace {

// The default channel is never removed, even a temporary one that a channel
// administrator marked so: the clean-up would pick it again in every pass
// and never reach the empty families behind it.
bool IsTemporaryFamily(const TChannelRecord& channel) {
  return (channel.Flags & cfUnregistered) && channel.IsTopLevel() && !(channel.Flags & cfDefaultChannel);
}

}  // namespace

void TChannelMoves::ClearChannelUpAll() {
  try {
    // Each pass removes at most one family, then starts again from the end.
    for (int pass = 0; pass < kClearChannelUpPasses; ++pass) {
      const auto& records = channels_.Records();
      uint32_t victim = 0;
      bool found = false;
      for (auto it = records.rbegin(); it != records.rend(); ++it) {
        if (IsTemporaryFamily(**it) && ChannelInUse((*it)->ID) == 0) {
          victim = (*it)->ID;
          found = true;
          break;
        }
      }
      if (!found) return;
      channels_.RemoveChannel(victim);
      const std::vector<uint32_t> removed = channels_.Affected();
      for (uint32_t id : removed) notifier_.NotifyChannelDeleted(id, 0);
    }
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", "ClearChannelUp", error);
  }
}

void TChannelMoves::ClearChannelUp(uint32_t channelID, uint32_t requesterID) {
  try {
    // The family is what lives or goes: a player leaving a temporary family
    // from one of its sub-channels may have left it empty too. An emptied
    // sub-channel is never removed by itself.
    const uint32_t root = channels_.RootOf(channelID);
    const TChannelRecord* channel = channels_.FindByID(root);
    if (!channel || !IsTemporaryFamily(*channel) || ChannelInUse(root) != 0) return;
    channels_.RemoveChannel(root);
    const std::vector<uint32_t> removed = channels_.Affected();
    for (uint32_t id : removed) notifier_.NotifyChannelDeleted(id, requesterID);
  } catch (const std::exception& error) {
    LogCaught("UDP Listener", "ClearChannelUp", error);
  }
}
