// The page side of the operator's pages of TWebInterface: the records of the
// Overview, Players (and its refreshed fragment), Servers and All servers
// pages with the markers they fill; the markers any page may hold (the
// navigation, the server switch, the login page's notice, the values a
// refused form brings back); and the status pages (403, 404) in the site's
// look.
#include <filesystem>

#include "admin/FormText.h"
#include "admin/WebAllServers.h"
#include "admin/WebCompression.h"
#include "admin/SvgChart.h"
#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebServerOps.h"
#include "admin/WebText.h"
#include "server/ServerAccess.h"
#include "common/Log.h"

namespace {

constexpr const char* kLoginNotice = "%%LOGIN_NOTICE%%";
constexpr const char* kNavigation = "%!NAVIGATION!%";
constexpr const char* kServerSwitch = "%!SERVER_SWITCH!%";
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

std::string PlayersList(TWebInterface&, TWebRequest& r, const TWebPageView& view) {
  std::vector<TWebPlayer> players;
  std::vector<TWebChannel> channels;
  if (!view.Selected || !ReadPlayers(view.Selected, players, channels)) return "";
  // Addresses are for administrators: every request past the login check
  // is one, of this server or of all.
  return RenderPlayersList(players, channels, r.LoggedIn,
                           ReadPlayerQuery([&](const char* name) { return r.Param(name); }));
}

std::string ServersList(TWebInterface&, TWebRequest&, const TWebPageView&) {
  TServerEnvironment env;
  return RunningEnvironment(env) ? RenderServersList(ServerRows(env.SettingsFile)) : "";
}

std::string PlayersChart(TWebInterface& web, TWebRequest& r, const TWebPageView& view) {
  return view.Current ? RenderLoadCharts(web.Sampler().History(r.ServerID), TrafficSecond()).Players : "";
}

std::string TrafficChart(TWebInterface& web, TWebRequest& r, const TWebPageView& view) {
  return view.Current ? RenderLoadCharts(web.Sampler().History(r.ServerID), TrafficSecond()).Traffic : "";
}

// Every server with the traffic of its last sample.
std::string AllServersList(TWebInterface& web, TWebRequest& r, const TWebPageView&) {
  TServerEnvironment env;
  if (!RunningEnvironment(env)) return "";
  const std::vector<TWebServerRow> rows = ServerRows(env.SettingsFile);
  std::vector<TServerOverviewRow> overview;
  overview.reserve(rows.size());
  for (const TWebServerRow& row : rows) {
    TServerOverviewRow o{row};
    if (row.Running) {
      const std::vector<TTrafficSample> samples = web.Sampler().History(row.Id);
      if (!samples.empty()) {
        o.BytesInPerSec = static_cast<double>(samples.back().BytesIn) / TTrafficHistory::kIntervalSec;
        o.BytesOutPerSec = static_cast<double>(samples.back().BytesOut) / TTrafficHistory::kIntervalSec;
      }
    }
    overview.push_back(std::move(o));
  }
  return RenderAllServers(overview, r.ServerID);
}

const TWebMarker kPlayersMarkers[] = {{"%!PLAYERS_LIST!%", TWebRights::ServerSelected, PlayersList}};
const TWebMarker kServersMarkers[] = {{"%!SERVERS_LIST!%", TWebRights::SuperAdmin, ServersList}};
const TWebMarker kAllServersMarkers[] = {{"%!ALL_SERVERS_LIST!%", TWebRights::SuperAdmin, AllServersList}};
const TWebMarker kOverviewMarkers[] = {{"%!CHART_PLAYERS!%", TWebRights::ServerSelected, PlayersChart},
                                       {"%!CHART_TRAFFIC!%", TWebRights::ServerSelected, TrafficChart}};

const TWebPage kPages[] = {
    {"index.html", "Overview", "overview", 10, TWebRights::LoggedIn, kOverviewMarkers},
    {"players.html", "Players", "players", 20, TWebRights::LoggedIn, kPlayersMarkers},
    {"players_rows.html", nullptr, nullptr, 0, TWebRights::LoggedIn, kPlayersMarkers},
    {"servers.html", "Servers", "servers", 90, TWebRights::SuperAdmin, kServersMarkers},
    {"all_servers.html", "All servers", "all-servers", 95, TWebRights::SuperAdmin, kAllServersMarkers},
};

}  // namespace

std::span<const TWebPage> OperatorPages() { return kPages; }

void TWebInterface::AddPageMarkers(TMarkers& markers, const std::string& upper, TWebRequest& r, const TWebPage* page,
                                   const TWebPageView& view) {
  // The Servers page's notice for everyone else.
  markers.Condition("SUPERSERVERADMIN", r.SuperAdmin);
  if (page)
    for (const TWebMarker& m : page->Markers)
      if (Holds(upper, m.Marker)) markers.Html(m.Marker, HasWebRights(r, m.Needs) ? m.Fill(*this, r, view) : "");
  if (Holds(upper, kNavigation)) markers.Html(kNavigation, RenderNavigation(r));
  if (Holds(upper, kServerSwitch)) {
    TServerEnvironment env;
    markers.Html(kServerSwitch, HasWebRights(r, TWebRights::SuperAdmin) && RunningEnvironment(env)
                                    ? RenderServerSwitch(ServerRows(env.SettingsFile), r.ServerID, r.Request.path)
                                    : "");
  }
  if (Holds(upper, kLoginNotice)) {
    // Said once: the notice goes with the page that shows it.
    const std::string reason = r.Session->With([](TSessionValues& v) {
      std::string said = v.Get(kLoginNoticeValue);
      v.Set(kLoginNoticeValue, "");
      return said;
    });
    markers.Html(kLoginNotice, LoginNoticeHtml(reason));
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
      markers.Text(marker, r.Param(name) == "1" ? "checked" : "");
      continue;
    }
    bool given = false;
    for (const auto& [key, value] : r.Request.params) given = given || SameText(key, name);
    if (given)
      markers.Html(marker, HtmlEscapeKeepingReferences(r.Param(name)));
    else if (view.Current)
      markers.Text(marker, FormFieldValue(*view.Current, name));
    else
      markers.Text(marker, "");
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
  SetVariables(page, r, FindWebPage("status.html"));
  SendGenerated(r.Request, r.Response, std::move(page), std::string("text/HTML; charset=") + kPageCharset);
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
