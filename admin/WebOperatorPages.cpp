// The page side of the operator's pages of TWebInterface: the players list
// and its refreshed fragment, the servers list, the overview's charts, the
// login page's notice and server choice, the values a refused form brings
// back, and the status pages (403, 404) in the site's look.
#include <filesystem>

#include "admin/FormText.h"
#include "admin/WebAllServers.h"
#include "admin/SvgChart.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebServerOps.h"
#include "admin/WebText.h"
#include "server/ServerAccess.h"
#include "common/Log.h"

namespace {

constexpr const char* kPlayersList = "%!PLAYERS_LIST!%";
constexpr const char* kServersList = "%!SERVERS_LIST!%";
constexpr const char* kAllServers = "%!ALL_SERVERS_LIST!%";
constexpr const char* kServerSwitch = "%!SERVER_SWITCH!%";
constexpr const char* kChartPlayers = "%!CHART_PLAYERS!%";
constexpr const char* kChartTraffic = "%!CHART_TRAFFIC!%";
constexpr const char* kLoginNotice = "%%LOGIN_NOTICE%%";
constexpr std::string_view kFormPrefix = "%%FORM_";
constexpr std::string_view kCheckedSuffix = "_CHECKED";

bool Holds(const std::string& upper, const char* marker) { return upper.find(marker) != std::string::npos; }

// The current value of a settings form field, for a form shown afresh.
std::string FormFieldValue(const TServerSettings& s, const std::string& field) {
  if (field == "SERVERNAME") return s.ServerName;
  if (field == "SERVERWELCOMEMESSAGE") return s.ServerWelcomeMessage;
  if (field == "SERVERMAXUSERS") return std::to_string(s.ServerMaxUsers);
  if (field == "SERVERWEBPOSTLINKURL") return s.WebPostLinkURL;
  return "";
}

}  // namespace

void TWebInterface::AddOperatorMarkers(TMarkers& page, const std::string& upper, TWebRequest& r,
                                       const TServerRef& selected, const TServerSettings* current) {
  const bool super = r.SuperAdmin;
  // The Servers page's notice for everyone else.
  page.Condition("SUPERSERVERADMIN", super);
  if (Holds(upper, kPlayersList) && selected) {
    std::vector<TWebPlayer> players;
    std::vector<TWebChannel> channels;
    if (ReadPlayers(*selected, players, channels)) {
      // Addresses are for administrators: every request past the login check
      // is one, of this server or of all.
      page.Html(kPlayersList, RenderPlayersList(players, channels, r.LoggedIn));
    }
  }
  const bool listsServers = Holds(upper, kServersList) || Holds(upper, kAllServers) || Holds(upper, kServerSwitch);
  TServerEnvironment env;
  const std::vector<TWebServerRow> rows =
      super && listsServers && RunningEnvironment(env) ? ServerRows(env.SettingsFile) : std::vector<TWebServerRow>();
  if (Holds(upper, kServersList)) page.Html(kServersList, super ? RenderServersList(rows) : "");
  if (Holds(upper, kServerSwitch))
    page.Html(kServerSwitch, super && !rows.empty() ? RenderServerSwitch(rows, r.ServerID, r.Request.path) : "");
  if (Holds(upper, kAllServers)) {
    std::vector<TServerOverviewRow> overview;
    overview.reserve(rows.size());
    for (const TWebServerRow& row : rows) {
      TServerOverviewRow o{row};
      if (row.Running) {
        const std::vector<TTrafficSample> samples = sampler_.History(row.Id);
        if (!samples.empty()) {
          o.BytesInPerSec = static_cast<double>(samples.back().BytesIn) / TTrafficHistory::kIntervalSec;
          o.BytesOutPerSec = static_cast<double>(samples.back().BytesOut) / TTrafficHistory::kIntervalSec;
        }
      }
      overview.push_back(std::move(o));
    }
    page.Html(kAllServers, super ? RenderAllServers(overview, r.ServerID) : "");
  }
  if ((Holds(upper, kChartPlayers) || Holds(upper, kChartTraffic)) && current) {
    const TLoadCharts charts = RenderLoadCharts(sampler_.History(r.ServerID), TrafficSecond());
    page.Html(kChartPlayers, charts.Players);
    page.Html(kChartTraffic, charts.Traffic);
  }
  if (Holds(upper, kLoginNotice)) {
    // Said once: the notice goes with the page that shows it.
    const std::string reason = r.Session->With([](TSessionValues& v) {
      std::string said = v.Get(kLoginNoticeValue);
      v.Set(kLoginNoticeValue, "");
      return said;
    });
    page.Html(kLoginNotice, LoginNoticeHtml(reason));
  }
  // "%%FORM_NAME%%": the request's NAME when a refused form came back with
  // it, else what the page shows for "%%NAME%%" (the current value);
  // "%%FORM_NAME_CHECKED%%": "checked" for a NAME of "1".
  for (size_t at = upper.find(kFormPrefix); at != std::string::npos; at = upper.find(kFormPrefix, at + 1)) {
    const size_t end = upper.find("%%", at + kFormPrefix.size());
    if (end == std::string::npos) break;
    const std::string marker = upper.substr(at, end + 2 - at);
    std::string name = upper.substr(at + kFormPrefix.size(), end - at - kFormPrefix.size());
    if (name.size() > kCheckedSuffix.size() && name.ends_with(kCheckedSuffix)) {
      name.resize(name.size() - kCheckedSuffix.size());
      page.Text(marker, r.Param(name) == "1" ? "checked" : "");
      continue;
    }
    bool given = false;
    for (const auto& [key, value] : r.Request.params) given = given || SameText(key, name);
    if (given)
      page.Html(marker, HtmlEscapeKeepingReferences(r.Param(name)));
    else if (current)
      page.Text(marker, FormFieldValue(*current, name));
    else
      page.Text(marker, "");
  }
}

void TWebInterface::SendStyledStatus(TWebRequest& r, int status, std::string_view title, std::string_view text,
                                   const std::string& plainBody) {
  r.Response.status = status;
  std::error_code ec;
  const std::string file = docs_ + "/status.html";
  if (!r.Session->LoggedIn() || !std::filesystem::is_regular_file(file, ec)) {
    r.Response.set_content(plainBody, "text/HTML");
    return;
  }
  TMarkers box;
  box.Text("%%STATUS_TITLE%%", title);
  box.Text("%%STATUS_TEXT%%", text);
  std::string page = box.Expand(ParseCommands(LoadFile("status.html")));
  SetVariables(page, r);
  r.Response.set_content(page, std::string("text/HTML; charset=") + kPageCharset);
}

void TWebInterface::EndLogin(TWebRequest& r, const char* reason) {
  r.Session->With([&](TSessionValues& v) {
    v.Set("credential", "");
    v.Set("username", "");
    v.Set("serverport", "");
    v.Set("serverid", "");
    v.Set("superadmin", "0");
    v.Set(kLoginNoticeValue, reason);
    return v.Set("loggedin", "0");
  });
}
