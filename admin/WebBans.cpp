// The Bans and Log pages of the web interface: the selected server's bans
// with a search, their expiry and "Lift"; the audit trail, newest first,
// filtered by server, actor and kind of action, page by page. A super
// server administrator reads every server's records; anyone else only the
// records of the server their login selected (so never another tenant's
// names or addresses, nor the failed logins of strangers).
#include <charconv>

#include "admin/WebAudit.h"
#include "admin/WebInterface.h"
#include "admin/WebText.h"
#include "common/AuditLog.h"
#include "common/TextFormat.h"
#include "database/Bans.h"
#include "server/ServerAccess.h"

namespace {

constexpr const char* kBansPage = "bans.html";
constexpr size_t kLogPageSize = 50;

std::string Cell(const std::string& html) { return "<td>" + html + "</td>"; }

bool Contains(const std::string& text, const std::string& needle) {
  return UpperCase(text).find(UpperCase(needle)) != std::string::npos;
}

std::string BansList(TWebInterface&, TWebRequest& r, const TWebPageView& view) {
  if (!view.Selected) return "";
  const auto bans = TServerAccess(view.Selected).Bans();
  if (!bans) return "";
  const std::string needle = Trim(r.Param("q"));
  std::string html =
      "<table class=\"list\" id=\"bans-list\"><thead><tr><th>Id</th><th>Kind</th><th>Banned</th><th>Expires</th>"
      "<th>Set by</th><th>Reason</th><th></th></tr></thead><tbody>";
  size_t shown = 0;
  for (const TBan& b : *bans) {
    if (!needle.empty() && !Contains(b.Value, needle) && !Contains(b.Reason, needle) && !Contains(b.SetBy, needle))
      continue;
    ++shown;
    html += "<tr>" + Cell(std::to_string(b.ID)) + Cell(BanKindWord(b.Kind)) + Cell(HtmlEscape(b.Value)) +
            Cell(b.Expires == 0 ? "never" : FormatDateTime("yyyy-mm-dd hh:nn", b.Expires)) + Cell(HtmlEscape(b.SetBy)) +
            Cell(HtmlEscape(b.Reason)) +
            Cell("<form method=\"post\" action=\"LIFT_BAN.PLCMD\"><input type=\"hidden\" name=\"ban\" value=\"" +
                 std::to_string(b.ID) + "\"><button type=\"submit\" class=\"secondary\">Lift</button></form>") +
            "</tr>";
  }
  html += "</tbody></table>";
  if (shown == 0) html += "<p class=\"hint\">No bans" + std::string(needle.empty() ? "." : " match.") + "</p>";
  return html;
}

// The request's filters, and the servers its login may read.
TAuditQuery LogQuery(TWebRequest& r) {
  TAuditQuery q;
  if (!r.SuperAdmin) q.Servers = {r.ServerID};
  q.Server = Trim(r.Param("server"));
  q.Actor = Trim(r.Param("actor"));
  q.Kind = Trim(r.Param("kind"));
  uint32_t page = 1;
  const std::string text = r.Param("page");
  std::from_chars(text.data(), text.data() + text.size(), page);
  page = std::clamp<uint32_t>(page, 1, 100000);
  q.Skip = (page - 1) * kLogPageSize;
  q.Count = kLogPageSize;
  return q;
}

std::string LogList(TWebInterface&, TWebRequest& r, const TWebPageView&) {
  const TAuditQuery q = LogQuery(r);
  bool more = false;
  const std::vector<TAuditRecord> records = ReadAudit(q, &more);
  std::string html =
      "<table class=\"list\" id=\"log-list\"><thead><tr><th>Time</th><th>Surface</th><th>Actor</th><th>Address</th>"
      "<th>Server</th><th>Action</th><th>What</th></tr></thead><tbody>";
  for (const TAuditRecord& a : records)
    html += "<tr>" + Cell(FormatDateTime("yyyy-mm-dd hh:nn:ss", a.Time)) + Cell(HtmlEscape(a.Surface)) +
            Cell(HtmlEscape(a.Actor)) + Cell(HtmlEscape(a.Address)) + Cell(HtmlEscape(a.Server)) +
            Cell(HtmlEscape(a.Kind)) + Cell(HtmlEscape(a.Detail)) + "</tr>";
  html += "</tbody></table>";
  if (records.empty()) html += "<p class=\"hint\">Nothing recorded matches.</p>";
  const size_t page = q.Skip / kLogPageSize + 1;
  const auto link = [&](size_t to, const char* label) {
    return "<a href=\"log.html?server=" + UrlEncode(q.Server) + "&amp;actor=" + UrlEncode(q.Actor) +
           "&amp;kind=" + UrlEncode(q.Kind) + "&amp;page=" + std::to_string(to) + "\">" + label + "</a> ";
  };
  html += "<p class=\"pages\">";
  if (page > 1) html += link(page - 1, "Newer");
  if (more) html += link(page + 1, "Older");
  return html + "</p>";
}

void CommandLiftBan(TWebInterface& web, TWebRequest& r) {
  const TServerRef selected = web.SelectedServer(r);
  if (!selected)
    return TWebInterface::DisplayError(r.Response, "error occured", "your selected server is invalid", "index.html");
  int32_t id = 0;
  const std::string text = r.Param("ban");
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), id);
  TBan lifted;
  if (parsed.ec != std::errc() || !TServerAccess(selected).LiftBan(id, &lifted))
    return TWebInterface::DisplayError(r.Response, "error occured", "there is no such ban on this server", kBansPage);
  AuditWeb(r, "lift", "ban " + std::to_string(id) + ": " + BanKindWord(lifted.Kind) + " " + lifted.Value);
  TWebInterface::DisplayOK(r.Response, "operation successfully",
                           FormatArgs("the ban of %1 was lifted", {lifted.Value}), kBansPage);
}

const TWebMarker kBansMarkers[] = {{"%!BANS_LIST!%", TWebRights::ServerSelected, BansList}};
const TWebMarker kLogMarkers[] = {{"%!LOG_LIST!%", TWebRights::ServerSelected, LogList}};

const TWebPage kPages[] = {
    {"bans.html", "Bans", "bans", 30, TWebRights::ServerSelected, kBansMarkers},
    {"log.html", "Log", "log", 80, TWebRights::ServerSelected, kLogMarkers},
};

const TWebCommand kCommands[] = {
    {"LIFT_BAN.PLCMD", TWebRights::ServerSelected, true, CommandLiftBan},
};

}  // namespace

std::span<const TWebCommand> BanCommands() { return kCommands; }
std::span<const TWebPage> BanPages() { return kPages; }
