#include "server/ServerCatalog.h"

#include "common/IniFile.h"

std::vector<std::string> ListedServers(const TIniFile& ini) {
  std::vector<std::string> ids;
  for (int n = 0;; ++n) {
    std::string id = ini.ReadString(kServersSection, std::to_string(n), "");
    if (id.empty()) break;
    ids.push_back(std::move(id));
  }
  return ids;
}

void ListServer(TIniFile& ini, const std::string& id) {
  const std::vector<std::string> ids = ListedServers(ini);
  for (const std::string& listed : ids)
    if (listed == id) return;
  ini.WriteString(kServersSection, std::to_string(ids.size()), id);
  ini.UpdateFile();
}

bool UnlistServer(TIniFile& ini, const std::string& id) {
  std::vector<std::string> ids = ListedServers(ini);
  size_t at = 0;
  while (at < ids.size() && ids[at] != id) ++at;
  if (at == ids.size()) return false;
  for (size_t n = at; n + 1 < ids.size(); ++n) ini.WriteString(kServersSection, std::to_string(n), ids[n + 1]);
  ini.DeleteKey(kServersSection, std::to_string(ids.size() - 1));
  ini.UpdateFile();
  return true;
}

bool ValidServerName(std::string_view name) {
  if (name.empty()) return false;
  for (unsigned char ch : name)
    if (ch < 0x20 || ch == 0x7F || ch == '[' || ch == ']' || ch == '\\') return false;
  return true;
}
