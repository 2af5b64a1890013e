#include "admin/WebServers.h"

#include <algorithm>

#include "admin/WebText.h"

namespace {

// The button is named with the server ("Stop Alpha") for a screen reader.
std::string RowAction(const char* command, const TWebServerRow& s, const char* label, const char* cls) {
  return std::string("<form method=\"post\" action=\"") + command +
         "\"><input type=\"hidden\" name=\"server\" value=\"" + HtmlEscape(s.Id) + "\"><button type=\"submit\" class=\"" +
         cls + "\" aria-label=\"" + label + " " + HtmlEscape(s.Name.empty() ? s.Id : s.Name) + "\">" + label +
         "</button></form>";
}

}  // namespace

void SortByPort(std::vector<TWebServerRow>& rows) {
  std::stable_sort(rows.begin(), rows.end(), [](const TWebServerRow& a, const TWebServerRow& b) {
    return a.Port != b.Port ? a.Port < b.Port : a.Id < b.Id;
  });
}

std::string RenderServersList(const std::vector<TWebServerRow>& rows) {
  if (rows.empty()) return "<p id=\"no-servers\">No virtual server is configured.</p>";
  std::string html =
      "<table class=\"list servers stack\" id=\"servers-table\"><thead><tr><th>Name</th><th>Id</th><th>UDP port</th>"
      "<th>Players</th><th>State</th><th>Actions</th></tr></thead><tbody>";
  for (const TWebServerRow& s : rows) {
    html += "<tr data-server=\"" + HtmlEscape(s.Id) + "\">";
    html += "<td data-label=\"Name\" class=\"name\">" + HtmlEscape(s.Name) + "</td>";
    html += "<td data-label=\"Id\">" + HtmlEscape(s.Id) + "</td>";
    html += "<td data-label=\"UDP port\" class=\"port\">" + std::to_string(s.Port) + "</td>";
    html += "<td data-label=\"Players\" class=\"players\">" +
            (s.Running ? std::to_string(s.Players) : std::string("-")) + " / " + std::to_string(s.MaxUsers) + "</td>";
    html += std::string("<td data-label=\"State\" class=\"state\"><span class=\"badge ") +
            (s.Running ? "on\">running" : "off\">stopped") + "</span></td>";
    std::string actions;
    if (s.Running) {
      actions += RowAction("SERVERS_ASK_STOP.PLCMD", s, "Stop", "danger");
      actions += RowAction("SERVERS_ASK_RESTART.PLCMD", s, "Restart", "danger");
    } else {
      actions += RowAction("SERVERS_START.PLCMD", s, "Start", "");
    }
    actions += RowAction("SERVERS_ASK_REMOVE.PLCMD", s, "Remove", "link danger");
    html += "<td data-label=\"Actions\" class=\"actions\">" + actions + "</td></tr>";
  }
  return html + "</tbody></table>";
}

std::string RenderServerOptions(const std::vector<TWebServerRow>& rows) {
  std::string html;
  for (const TWebServerRow& s : rows) {
    if (!s.Running) continue;
    const std::string port = std::to_string(s.Port);
    html += "<option value=\"" + port + "\">" + HtmlEscape(s.Name) + " (port " + port + ")</option>";
  }
  return html;
}
