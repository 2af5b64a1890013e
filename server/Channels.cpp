#include "server/Channels.h"

#include <algorithm>

#include "common/CommandCodes.h"
#include "common/IniFile.h"
#include "common/TextFormat.h"
#include "database/ServerDatabase.h"
#include "database/StoredChannels.h"

// ---- TChannels --------------------------------------------------------------

TChannels::TChannels(std::string serverID, TClock* clock)
    : serverID_(std::move(serverID)), clock_(clock ? clock : SystemClock()) {}

void TChannels::Lock() {
  mutex_.lock();
  ++lockDepth_;
  locked_ = true;
}

void TChannels::Unlock() {
  if (--lockDepth_ == 0) locked_ = false;
  mutex_.unlock();
}

std::vector<std::unique_ptr<TChannelRecord>>::const_iterator TChannels::Position(uint32_t id) const {
  auto it = std::lower_bound(records_.begin(), records_.end(), id,
                             [](const std::unique_ptr<TChannelRecord>& r, uint32_t v) { return r->ID < v; });
  if (it != records_.end() && (*it)->ID == id) return it;
  return records_.end();
}

TChannelRecord* TChannels::FindByID(uint32_t id) const {
  auto it = Position(id);
  return it == records_.end() ? nullptr : it->get();
}

TChannelRecord* TChannels::FindByName(std::string_view name, uint32_t parent) const {
  for (const auto& r : records_)
    if ((parent == kNoParent || r->Parent == parent) && SameText(r->Name, name)) return r.get();
  return nullptr;
}

int64_t TChannels::DefaultChannelID() const {
  for (const auto& r : records_)
    if (r->Flags & cfDefaultChannel) return r->ID;
  return -1;
}

uint32_t TChannels::RootOf(uint32_t id) const {
  const TChannelRecord* r = FindByID(id);
  return (r && !r->IsTopLevel()) ? r->Parent : id;
}

int64_t TChannels::AddChannel(TChannelRecord record) {
  affected_.clear();
  if (record.Parent != kNoParent && !record.Password.empty()) return rc::SubChannelPassword;
  if (FindByName(record.Name, record.Parent)) return rc::NameTaken;
  if (record.Parent != kNoParent) {
    const TChannelRecord* parent = FindByID(record.Parent);
    if (!parent) return rc::NoParent;
    if (!parent->IsTopLevel()) return rc::SubSubChannel;
    if (!(parent->Flags & cfSubChannels)) return rc::NoSubChannels;
    record.Flags &= static_cast<uint16_t>(~cfSubChannels);
    record.Codec = parent->Codec;
    if (!(parent->Flags & cfUnregistered)) record.Flags &= static_cast<uint16_t>(~cfUnregistered);
  }
  if (record.Password.empty())
    record.Flags &= static_cast<uint16_t>(~cfHasPassword);
  else
    record.Flags |= cfHasPassword;
  if (record.Flags & cfDefaultChannel) {
    const int64_t old = DefaultChannelID();
    if (old >= 0) {
      FindByID(static_cast<uint32_t>(old))->Flags &= static_cast<uint16_t>(~cfDefaultChannel);
      affected_.push_back(old);
    }
  }
  record.Created = record.LastChanged = clock_->Now();
  record.ID = nextChannelID_++;
  records_.push_back(std::make_unique<TChannelRecord>(std::move(record)));
  return records_.back()->ID;
}

int32_t TChannels::RemoveChannel(uint32_t id) {
  affected_.clear();
  auto it = Position(id);
  if (it == records_.end()) return rc::NoChannel;
  if ((*it)->Flags & cfDefaultChannel) return rc::DefaultChannel;
  if (!(*it)->IsTopLevel()) {
    affected_.push_back(id);
  } else {
    for (size_t i = records_.size(); i-- > 0;) {
      if (records_[i]->Parent == id) {
        affected_.push_back(records_[i]->ID);
        records_.erase(records_.begin() + static_cast<long>(i));
      }
    }
    affected_.push_back(id);
  }
  records_.erase(Position(id));
  return 0;
}

TChannelRecord* TChannels::FamilyRoot(uint32_t channelID) const {
  TChannelRecord* r = FindByID(channelID);
  if (r && !r->IsTopLevel()) r = FindByID(r->Parent);
  return r;
}

uint16_t TChannels::GetUserRights(uint32_t channelID, std::string_view loginName) const {
  const TChannelRecord* r = FamilyRoot(channelID);
  if (!r) return 0;
  for (const std::string& line : r->UserAttribs) {
    const size_t eq = line.find('=');
    if (eq == std::string::npos || !SameText(std::string_view(line).substr(0, eq), loginName)) continue;
    int32_t v = 0;
    return TIniFile::ParseInteger(std::string_view(line).substr(eq + 1), v) ? static_cast<uint16_t>(v) : 0;
  }
  return 0;
}

void TChannels::SetUserRights(uint32_t channelID, std::string_view loginName, uint16_t rights) {
  TChannelRecord* r = FamilyRoot(channelID);
  if (!r) return;
  std::string line(loginName);
  line += '=';
  line += std::to_string(rights);
  for (std::string& existing : r->UserAttribs) {
    const size_t eq = existing.find('=');
    if (eq != std::string::npos && SameText(std::string_view(existing).substr(0, eq), loginName)) {
      existing = std::move(line);
      return;
    }
  }
  r->UserAttribs.push_back(std::move(line));
}

void TChannels::ClearChannels() {
  while (!records_.empty()) records_.pop_back();
}

// ---- storage --------------------------------------------------------------------

bool TChannels::LoadChannels() {
  if (TFreeBase::TLock db = LockServerDatabase()) {
    // A stored sub-channel names its parent by stored index. Ids are handed
    // out only to the channels accepted, so one refused channel would shift
    // every later index against its id: parents go through the ids given.
    std::vector<int64_t> idOfIndex;
    for (int index = 0;; ++index) {
      std::unique_ptr<TChannelRecord> stored = LoadStoredChannel(*db, index, serverID_);
      if (!stored) break;
      if (stored->Parent != kNoParent) {
        const uint32_t parentIndex = stored->Parent;
        const bool known = parentIndex < idOfIndex.size() && idOfIndex[parentIndex] >= 0;
        // A parent that was refused or comes later takes its sub-channel with it.
        if (!known) {
          idOfIndex.push_back(-1);
          continue;
        }
        stored->Parent = static_cast<uint32_t>(idOfIndex[parentIndex]);
      }
      idOfIndex.push_back(AddChannel(std::move(*stored)));
    }
  }
  if (records_.empty()) {
    TChannelRecord def;
    def.Flags = cfDefaultChannel;
    def.Codec = static_cast<uint16_t>(DefaultCodec);
    def.Parent = kNoParent;
    def.Name = "Default";
    def.Topic = "Default";
    def.Description = "Default Channel";
    def.Order = 0;
    def.MaxUsers = 32000;
    AddChannel(std::move(def));
  }
  // Every login lands in the default channel: stored channels without the
  // mark hand it to the first top-level one.
  if (DefaultChannelID() < 0)
    for (const auto& record : records_)
      if (record->IsTopLevel()) {
        record->Flags |= cfDefaultChannel;
        break;
      }
  return !records_.empty();
}

void TChannels::SaveChannels() {
  if (TFreeBase::TLock db = LockServerDatabase()) SaveStoredChannels(*db, serverID_, records_);
}
