#include "server/ServerList.h"

#include "server/ServerObject.h"

std::atomic<TServerListObject*> ServerList{nullptr};

TServerListObject* GetServerList() { return ServerList.load(std::memory_order_acquire); }

bool TServerListObject::RegisterServer(const TServerRef& server) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const TServerRef& s : servers_)
    if (s->ServerID == server->ServerID) return false;
  servers_.push_back(server);
  return true;
}

void TServerListObject::UnregisterServer(const TServerObject* server) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (auto it = servers_.begin(); it != servers_.end(); ++it)
    if (it->get() == server) {
      servers_.erase(it);
      return;
    }
}

TServerRef TServerListObject::FindServerByID(const std::string& id) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const TServerRef& s : servers_)
    if (s->ServerID == id) return s;
  return nullptr;
}

TServerRef TServerListObject::FindServerByPort(int32_t port) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (const TServerRef& s : servers_)
    if (s->ServerUDPPort == port) return s;
  return nullptr;
}

std::vector<std::pair<std::string, TServerRef>> TServerListObject::GetServerIDList() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  std::vector<std::pair<std::string, TServerRef>> ids;
  ids.reserve(servers_.size());
  for (const TServerRef& s : servers_) ids.emplace_back(s->ServerID, s);
  return ids;
}

// Walking down by index: removing entry i leaves the entries below it in
// place, and a server that comes back is appended above the walk.
void TServerListObject::RestartServer(const std::string& id) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (size_t i = servers_.size(); i-- > 0;) {
    if (i >= servers_.size()) continue;
    TServerRef server = servers_[i];
    if (!id.empty() && server->ServerID != id) continue;
    const std::string serverID = server->ServerID;
    server->Stop();
    servers_.erase(servers_.begin() + static_cast<std::ptrdiff_t>(i));
    // Settings, the port included, are read again from server.ini. A server
    // that fails stays out of the list; references to it see it stopped.
    server->Start(server->Environment(), serverID, -1, nullptr);
    if (!id.empty()) break;
  }
}

void TServerListObject::StopServer(const std::string& id) {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  for (size_t i = servers_.size(); i-- > 0;) {
    TServerRef server = servers_[i];
    if (!id.empty() && server->ServerID != id) continue;
    server->Stop();
    servers_.erase(servers_.begin() + static_cast<std::ptrdiff_t>(i));
    if (!id.empty()) break;
  }
}

size_t TServerListObject::Count() {
  std::lock_guard<std::recursive_mutex> lock(mutex_);
  return servers_.size();
}
