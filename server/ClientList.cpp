#include "server/ClientList.h"

#include <algorithm>

#include "common/TextFormat.h"

namespace {
const std::vector<TClientObject*> kNobody;
}

TClientObject* TClientList::Add(std::unique_ptr<TClientObject> player) {
  TClientObject* p = player.get();
  // Player ids are unique among listed players; a stale record under the same
  // id (which the listener never leaves behind) would be replaced here.
  if (TClientObject* old = FindByID(p->PlayerID)) Remove(old);
  byID_[p->PlayerID] = TEntry{std::move(player), nextSequence_++};
  keys_.insert(p->SessionKey);
  byNick_.emplace(UpperCase(p->NickName.Text()), p);
  items_.push_back(p);
  FileInChannel(p);
  return p;
}

std::unique_ptr<TClientObject> TClientList::Remove(TClientObject* player) {
  auto it = byID_.find(player->PlayerID);
  if (it == byID_.end() || it->second.Player.get() != player) return nullptr;
  DropFromChannel(player);
  keys_.erase(player->SessionKey);
  auto [first, last] = byNick_.equal_range(UpperCase(player->NickName.Text()));
  for (auto n = first; n != last; ++n)
    if (n->second == player) {
      byNick_.erase(n);
      break;
    }
  items_.erase(std::find(items_.begin(), items_.end(), player));
  std::unique_ptr<TClientObject> owned = std::move(it->second.Player);
  byID_.erase(it);
  return owned;
}

void TClientList::Clear() {
  items_.clear();
  byID_.clear();
  keys_.clear();
  byNick_.clear();
  byChannel_.clear();
}

TClientObject* TClientList::FindByID(uint32_t playerID) const {
  if (playerID == 0) return nullptr;
  auto it = byID_.find(playerID);
  return it == byID_.end() ? nullptr : it->second.Player.get();
}

TClientObject* TClientList::FindByNick(std::string_view nick) const {
  // Names that differ in case only can be listed together (the login refuses
  // them, a caller adding players directly may not): the first in list order wins.
  TClientObject* found = nullptr;
  auto [first, last] = byNick_.equal_range(UpperCase(nick));
  for (auto n = first; n != last; ++n)
    if (!found || byID_.at(n->second->PlayerID).Sequence < byID_.at(found->PlayerID).Sequence) found = n->second;
  return found;
}

void TClientList::MovePlayer(TClientObject* player, uint32_t channelID) {
  if (player->ChannelID == channelID) return;
  DropFromChannel(player);
  player->ChannelID = channelID;
  FileInChannel(player);
}

const std::vector<TClientObject*>& TClientList::InChannel(uint32_t channelID) const {
  auto it = byChannel_.find(channelID);
  return it == byChannel_.end() ? kNobody : it->second;
}

void TClientList::FileInChannel(TClientObject* player) {
  auto& members = byChannel_[player->ChannelID];
  const uint64_t seq = byID_.at(player->PlayerID).Sequence;
  auto pos = std::lower_bound(members.begin(), members.end(), seq, [this](TClientObject* m, uint64_t s) {
    return byID_.at(m->PlayerID).Sequence < s;
  });
  members.insert(pos, player);
}

void TClientList::DropFromChannel(TClientObject* player) {
  auto it = byChannel_.find(player->ChannelID);
  if (it == byChannel_.end()) return;
  auto& members = it->second;
  members.erase(std::remove(members.begin(), members.end(), player), members.end());
  if (members.empty()) byChannel_.erase(it);
}
