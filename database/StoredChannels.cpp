#include "database/StoredChannels.h"

#include <algorithm>
#include <string>
#include <utility>

#include "common/TextFormat.h"
#include "common/WireFormat.h"
#include "database/FreeBase.h"

namespace {

std::string ChannelsPath(std::string_view serverID) {
  std::string path = "\\Servers\\";
  path += serverID;
  path += "\\Channels";
  return path;
}

std::string ChannelPath(std::string_view serverID, int index) {
  return ChannelsPath(serverID) + "\\" + std::to_string(index);
}

// Fields 16 bits wide keep a stored value only when it fits; else the default.
uint16_t StoredU16(TFreeBase& db, const std::string& path, uint16_t def) {
  const int32_t v = db.ReadInteger(path, def);
  return (v >= 0 && v <= 65535) ? static_cast<uint16_t>(v) : def;
}

bool LessByName(const TChannelRecord* a, const TChannelRecord* b) {
  return UpperCase(a->Name) < UpperCase(b->Name);
}

void WriteChannel(TFreeBase& db, const TChannelRecord& c, const std::string& path, int32_t parent, TDateTime now) {
  db.WriteInteger(path + "\\Flags", c.Flags);
  db.WriteInteger(path + "\\Codec", c.Codec);
  db.WriteInteger(path + "\\Parent", parent);
  db.WriteInteger(path + "\\Order", c.Order);
  db.WriteInteger(path + "\\MaxUsers", c.MaxUsers);
  db.WriteString(path + "\\Name", c.Name);
  db.WriteString(path + "\\Topic", c.Topic);
  db.WriteString(path + "\\Description", c.Description);
  db.WriteString(path + "\\Password", c.Password);
  if (db.ReadFloat(path + "\\Created", 0) == 0) db.WriteFloat(path + "\\Created", now);
  db.WriteFloat(path + "\\LastChanged", now);
  for (size_t j = 0; j < c.UserAttribs.size(); ++j)
    db.WriteString(path + "\\_UserAttribs_\\" + std::to_string(j), c.UserAttribs[j]);
}

void DeleteUnflushed(TFreeBase& db, const TFreeBase::TLock& lock, std::string_view serverID) {
  if (TFBEntry* node = db.GetEntry(lock, ChannelsPath(serverID), TFBEntryType::Node)) db.DeleteEntry(lock, node);
}

}  // namespace

std::unique_ptr<TChannelRecord> LoadStoredChannel(TFreeBase& db, int index, std::string_view serverID) {
  auto lock = db.Lock();
  const std::string path = ChannelPath(serverID, index);
  if (!db.GetEntry(lock, path, TFBEntryType::Node)) return nullptr;
  auto c = std::make_unique<TChannelRecord>();
  c->Flags = StoredU16(db, path + "\\Flags", 0);
  c->Codec = StoredU16(db, path + "\\Codec", 0);
  c->Parent = static_cast<uint32_t>(db.ReadInteger(path + "\\Parent", 0));
  c->Order = StoredU16(db, path + "\\Order", 0);
  c->MaxUsers = StoredU16(db, path + "\\MaxUsers", 2500);
  c->Name = wire::Cut(db.ReadString(path + "\\Name", "***ERROR***"), wire::kStr29);
  c->Topic = wire::Cut(db.ReadString(path + "\\Topic", "***ERROR***"), wire::kStr29);
  c->Description = wire::Cut(db.ReadString(path + "\\Description", "***ERROR***"), wire::kStr99);
  c->Password = wire::Cut(db.ReadString(path + "\\Password", ""), wire::kStr29);
  c->Created = db.ReadFloat(path + "\\Created", 0);
  c->LastChanged = db.ReadFloat(path + "\\LastChanged", 0);
  for (int j = 0;; ++j) {
    std::string line = db.ReadString(path + "\\_UserAttribs_\\" + std::to_string(j), "");
    if (line.empty()) break;
    c->UserAttribs.push_back(std::move(line));
  }
  return c;
}

void DeleteStoredChannels(TFreeBase& db, std::string_view serverID) {
  auto lock = db.Lock();
  DeleteUnflushed(db, lock, serverID);
  db.Flush();
}

void SaveStoredChannels(TFreeBase& db, std::string_view serverID,
                        const std::vector<std::unique_ptr<TChannelRecord>>& records) {
  auto lock = db.Lock();
  DeleteUnflushed(db, lock, serverID);
  std::vector<const TChannelRecord*> tops;
  for (const auto& r : records)
    if (r->IsTopLevel()) tops.push_back(r.get());
  std::stable_sort(tops.begin(), tops.end(), LessByName);
  const TDateTime now = db.Clock().Now();
  int index = 0;
  for (const TChannelRecord* top : tops) {
    // A temporary family is not stored, registered sub-channels included:
    // without their parent they would come back under a stranger.
    if (top->Flags & cfUnregistered) continue;
    const int parentIndex = index;
    WriteChannel(db, *top, ChannelPath(serverID, index++), -1, now);
    std::vector<const TChannelRecord*> subs;
    for (const auto& r : records)
      if (r->Parent == top->ID) subs.push_back(r.get());
    std::stable_sort(subs.begin(), subs.end(), LessByName);
    for (const TChannelRecord* sub : subs) {
      if (sub->Flags & cfUnregistered) continue;
      WriteChannel(db, *sub, ChannelPath(serverID, index++), parentIndex, now);
    }
  }
  db.Flush();
}

std::vector<std::string> DropIncompleteChannels(TFreeBase& db) {
  // Everything a channel record is written with before its timestamps; a
  // record cut short of any of them would come back with defaults in their
  // place (an open channel where there was a password).
  static constexpr std::pair<const char*, TFBEntryType> kNeeded[] = {
      {"Flags", TFBEntryType::Integer},    {"Codec", TFBEntryType::Integer}, {"Parent", TFBEntryType::Integer},
      {"Order", TFBEntryType::Integer},    {"MaxUsers", TFBEntryType::Integer}, {"Name", TFBEntryType::String},
      {"Topic", TFBEntryType::String},     {"Description", TFBEntryType::String},
      {"Password", TFBEntryType::String}};
  std::vector<std::string> dropped;
  auto lock = db.Lock();
  auto* servers = EntryAs<TFBContainer>(db.GetEntry(lock, "Servers", TFBEntryType::Node));
  for (TFBEntry* server = servers ? servers->FirstChild() : nullptr; server; server = server->Next()) {
    auto* serverNode = EntryAs<TFBContainer>(server);
    auto* channels =
        serverNode ? EntryAs<TFBContainer>(serverNode->FindChild("Channels", TFBEntryType::Node)) : nullptr;
    for (TFBEntry* e = channels ? channels->FirstChild() : nullptr; e;) {
      TFBEntry* next = e->Next();
      if (auto* channel = EntryAs<TFBContainer>(e)) {
        const bool complete = std::ranges::all_of(
            kNeeded, [&](const auto& value) { return channel->FindChild(value.first, value.second) != nullptr; });
        if (!complete) {
          dropped.push_back(server->Name() + ": channel " + e->Name());
          db.DeleteEntry(lock, e);
        }
      }
      e = next;
    }
  }
  return dropped;
}
