#include "announce/Announcement.h"

#include <optional>

#include "common/CaughtLog.h"
#include "common/TextFormat.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

TFormFields BuildAnnouncementForm(const TServerSnapshot& server, const TAnnouncementEnvironment& env) {
  TFormFields form;
  auto add = [&form](const char* name, std::string value) {
    if (!value.empty()) form.emplace_back(name, std::move(value));
  };
  auto number = [](auto n) { return std::to_string(n); };
  const TServerSettings& s = server.Settings;
  add("server_adminemail", env.AdminEmail);
  add("server_isplinkurl", env.ISPLinkURL);
  add("server_ispname", env.ISPName);
  add("server_ispcountry", env.ISPCountry);
  add("server_platform", server.Platform);
  add("server_version_major", number(server.VersionMajor));
  add("server_version_minor", number(server.VersionMinor));
  add("server_version_release", number(server.VersionRelease));
  add("server_version_build", number(server.VersionBuild));
  add("server_port", number(s.ServerUDPPort));
  add("server_name", s.ServerName);
  add("server_uptime", number(server.Figures.UptimeSeconds));
  add("server_password", s.ServerPassword.empty() ? "0" : "1");
  add("server_type1", (s.ServerType & stClan) ? "clan" : "public");
  add("server_type2", (s.ServerType & stFreeware) ? "freeware" : "commercial");
  add("clients_current", number(server.Figures.CurrentUsers));
  add("clients_maximum", number(s.ServerMaxUsers));
  add("channels_current", number(server.Figures.CurrentChannels));
  add("server_linkurl", s.WebPostLinkURL);
  add("server_queryport", number(env.TCPQueryPort));
  return form;
}

namespace {

// A list that fails loses only its own post; the line says which failed
// and why. The announcement thread alone posts, so a limiter per thread
// needs no lock; a list that answers with errors thus costs a few lines per
// cycle at most.
void PostQuietly(THttpClient& client, const std::string& url, const TFormFields& form) {
  try {
    client.Post(url, form);
  } catch (...) {
    thread_local TLogRateLimiter errorLines(SystemClock());
    LogCaughtLimited(errorLines, "WEBPOST", "TWebPost.Post");
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
    const std::optional<TServerSnapshot> view =
        server ? std::optional(TServerAccess(server).Snapshot()) : std::nullopt;
    const TFormFields form = view ? BuildAnnouncementForm(*view, env) : TFormFields{};
    PostQuietly(client, env.DefaultPostUrl, form);
    const std::string postUrl = Trim(env.PostUrl);
    if (!postUrl.empty() && !terminate.load()) PostQuietly(client, postUrl, form);
    if (!view || !view->Running || terminate.load()) continue;
    const std::string linkUrl = Trim(view->Settings.WebPostLinkURL);
    if (!linkUrl.empty()) PostQuietly(client, linkUrl, form);
  }
}
