#include "server/Moderation.h"

#include <memory>

#include "common/CommandCodes.h"
#include "database/Accounts.h"
#include "server/Channels.h"
#include "server/ClientList.h"
#include "server/ServerSettings.h"

bool TModeration::CanSee(const TClientObject& a, const TClientObject& b) const {
  if (settings_.ServerType & stClan) return true;
  return channels_.RootOf(a.ChannelID) == channels_.RootOf(b.ChannelID);
}

bool TModeration::HasModeratorRights(const TClientObject& p) {
  return (p.ChannelPrivileges & (ChannelPrivileges::ChannelAdmin | ChannelPrivileges::Operator)) ||
         (p.PlayerPrivileges & PlayerPrivileges::ServerAdmin);
}

bool TModeration::MayModerateChannel(const TClientObject& requester, uint32_t channelID) const {
  if (requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin) return true;
  return HasModeratorRights(requester) && channels_.RootOf(requester.ChannelID) == channels_.RootOf(channelID);
}

bool TModeration::MayModeratePlayer(const TClientObject& requester, const TClientObject& target) const {
  if (requester.PlayerPrivileges & PlayerPrivileges::ServerAdmin) return true;
  if (target.PlayerPrivileges & PlayerPrivileges::ServerAdmin) return false;
  return MayModerateChannel(requester, target.ChannelID);
}

// The checks come in the order the clients expect: the target exists, then
// the requester's rights reach it.
TChannelRecord* TModeration::ModeratedChannel(const TClientObject& requester, uint32_t channelID,
                                              int32_t& refusal) const {
  TChannelRecord* channel = channels_.FindByID(channelID);
  refusal = !channel ? rc::NoChannel : !MayModerateChannel(requester, channel->ID) ? rc::NeedModerator : 0;
  return refusal == 0 ? channel : nullptr;
}

TClientObject* TModeration::ModeratedPlayer(const TClientObject& requester, uint32_t playerID,
                                            int32_t& refusal) const {
  TClientObject* target = clients_.FindByID(playerID);
  refusal = !target ? rc::NoPlayer : !MayModeratePlayer(requester, *target) ? rc::NeedModerator : 0;
  return refusal == 0 ? target : nullptr;
}

bool TModeration::HoldsSuperRight(const TClientObject& target) const {
  if (target.PlayerPrivileges & PlayerPrivileges::SuperServerAdmin) return true;
  if (!(target.PlayerPrivileges & PlayerPrivileges::Registered)) return false;
  // Granted on another surface after the target logged in.
  const std::unique_ptr<TClientObject> account = GetUser(target.LoginName.Text(), serverID_, false);
  return account && (account->PlayerPrivileges & PlayerPrivileges::SuperServerAdmin);
}
