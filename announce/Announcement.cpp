#include "announce/Announcement.h"

#include "common/TextFormat.h"
#include "server/ServerList.h"
#include "server/ServerObject.h"

TFormFields BuildAnnouncementForm(TServerObject& server, const TAnnouncementEnvironment& env) {
  TFormFields form;
  auto add = [&form](const char* name, std::string value) {
    if (!value.empty()) form.emplace_back(name, std::move(value));
  };
  auto number = [](auto n) { return std::to_string(n); };
  std::string platform, name, linkUrl;
  uint16_t major, minor, release, build, type, maxUsers;
  int32_t port;
  bool password;
  {
    // The settings change only while a restart holds the machinery.
    const auto hold = server.HoldMachinery();
    platform = server.Platform;
    major = server.VersionMajor;
    minor = server.VersionMinor;
    release = server.VersionRelease;
    build = server.VersionBuild;
    port = server.ServerUDPPort;
    name = server.ServerName;
    password = !server.ServerPassword.empty();
    type = server.ServerType;
    maxUsers = server.ServerMaxUsers;
    linkUrl = server.WebPostLinkURL;
  }
  add("server_adminemail", env.AdminEmail);
  add("server_isplinkurl", env.ISPLinkURL);
  add("server_ispname", env.ISPName);
  add("server_ispcountry", env.ISPCountry);
  add("server_platform", platform);
  add("server_version_major", number(major));
  add("server_version_minor", number(minor));
  add("server_version_release", number(release));
  add("server_version_build", number(build));
  add("server_port", number(port));
  add("server_name", name);
  add("server_uptime", number(server.UptimeSeconds()));
  add("server_password", password ? "1" : "0");
  add("server_type1", (type & stClan) ? "clan" : "public");
  add("server_type2", (type & stFreeware) ? "freeware" : "commercial");
  add("clients_current", number(server.CurrentUsers()));
  add("clients_maximum", number(maxUsers));
  add("channels_current", number(server.CurrentChannels()));
  add("server_linkurl", linkUrl);
  add("server_queryport", number(env.TCPQueryPort));
  return form;
}

namespace {

void PostQuietly(THttpClient& client, const std::string& url, const TFormFields& form) {
  try {
    client.Post(url, form);
  } catch (const std::exception&) {
    // Not reported: the list's answer, or its absence, is none of the
    // operator's concern beyond the missing entry.
  }
}

}  // namespace

void RunAnnouncementCycle(THttpClient& client, const TAnnouncementEnvironment& env,
                          const std::atomic<bool>& terminate) {
  TServerListObject* list = GetServerList();
  if (!list) return;
  for (const auto& [id, unused] : list->GetServerIDList()) {
    if (terminate.load()) return;
    // Looked up again: the server may have stopped since the snapshot, and
    // is then announced with an empty form to the list addresses.
    const TServerRef server = list->FindServerByID(id);
    const TFormFields form = server ? BuildAnnouncementForm(*server, env) : TFormFields{};
    PostQuietly(client, env.DefaultPostUrl, form);
    const std::string postUrl = Trim(env.PostUrl);
    if (!postUrl.empty() && !terminate.load()) PostQuietly(client, postUrl, form);
    if (!server || terminate.load()) continue;
    std::string linkUrl;
    {
      const auto hold = server->HoldMachinery();
      if (server->Running()) linkUrl = server->WebPostLinkURL;
    }
    linkUrl = Trim(linkUrl);
    if (!linkUrl.empty()) PostQuietly(client, linkUrl, form);
  }
}
