#include "admin/WebAllServers.h"

#include <cstdio>

#include "admin/SvgChart.h"
#include "admin/WebText.h"

namespace {

std::string SwitchForm(const std::string& id, const std::string& page, const std::string& label,
                       const std::string& name) {
  return "<form method=\"post\" action=\"SELECT_SERVER.PLCMD\"><input type=\"hidden\" name=\"server\" value=\"" +
         HtmlEscape(id) + "\"><input type=\"hidden\" name=\"page\" value=\"" + HtmlEscape(page) +
         "\"><button type=\"submit\" class=\"secondary\" aria-label=\"" + label + " " + HtmlEscape(name) + "\">" +
         label + "</button></form>";
}

}  // namespace

std::string RenderAllServers(const std::vector<TServerOverviewRow>& rows, const std::string& selectedId) {
  if (rows.empty()) return "<p id=\"no-servers\">No virtual server is configured.</p>";
  std::string html;
  html.reserve(rows.size() * 600);
  html +=
      "<table class=\"list stack\" id=\"all-servers\" data-filter=\"all-servers-filter\"><thead><tr><th>Name</th>"
      "<th>UDP port</th><th>Players</th><th>Traffic in</th><th>Traffic out</th><th>State</th><th>Actions</th></tr>"
      "</thead><tbody>";
  char sort[32];
  for (const TServerOverviewRow& row : rows) {
    const TWebServerRow& s = row.Server;
    const std::string name = HtmlEscape(s.Name.empty() ? s.Id : s.Name);
    const bool selected = s.Id == selectedId;
    html += "<tr data-server=\"" + HtmlEscape(s.Id) + "\"" + (selected ? " class=\"selected\"" : "") + ">";
    html += "<td data-label=\"Name\" class=\"name\">" + name + "</td>";
    html += "<td data-label=\"UDP port\" class=\"port\">" + std::to_string(s.Port) + "</td>";
    html += "<td data-label=\"Players\" class=\"players\" data-sort=\"" + std::to_string(s.Running ? s.Players : -1) +
            "\">" + (s.Running ? std::to_string(s.Players) : std::string("-")) + " of " +
            std::to_string(s.MaxUsers) + "</td>";
    std::snprintf(sort, sizeof sort, "%.0f", row.BytesInPerSec);
    html += std::string("<td data-label=\"Traffic in\" class=\"in\" data-sort=\"") + sort + "\">" +
            (s.Running ? FormatByteRate(row.BytesInPerSec) : "-") + "</td>";
    std::snprintf(sort, sizeof sort, "%.0f", row.BytesOutPerSec);
    html += std::string("<td data-label=\"Traffic out\" class=\"out\" data-sort=\"") + sort + "\">" +
            (s.Running ? FormatByteRate(row.BytesOutPerSec) : "-") + "</td>";
    html += std::string("<td data-label=\"State\" class=\"state\"><span class=\"badge ") +
            (s.Running ? "on\">running" : "off\">stopped") + "</span></td>";
    html += "<td data-label=\"Actions\" class=\"actions\">";
    if (selected)
      html += "<span class=\"badge\">shown on the pages</span>";
    else if (s.Running)
      html += SwitchForm(s.Id, "index.html", "Open", name);
    html += "</td></tr>";
  }
  return html + "</tbody></table>";
}

std::string RenderServerSwitch(const std::vector<TWebServerRow>& rows, const std::string& selectedId,
                               const std::string& page) {
  std::string html =
      "<form method=\"post\" action=\"SELECT_SERVER.PLCMD\" class=\"switch\" id=\"server-switch\">"
      "<label for=\"switch-server\">Server</label><select id=\"switch-server\" name=\"server\">";
  for (const TWebServerRow& s : rows) {
    if (!s.Running) continue;
    html += "<option value=\"" + HtmlEscape(s.Id) + "\"" + (s.Id == selectedId ? " selected" : "") + ">" +
            HtmlEscape(s.Name.empty() ? s.Id : s.Name) + " (port " + std::to_string(s.Port) + ")</option>";
  }
  return html + "</select><input type=\"hidden\" name=\"page\" value=\"" + HtmlEscape(SwitchReturnPage(page)) +
         "\"><button type=\"submit\" class=\"secondary\">Switch</button></form>";
}

std::string SwitchReturnPage(const std::string& document) {
  std::string name = document.starts_with("/") ? document.substr(1) : document;
  if (name.size() < 6 || name.size() > 64 || !name.ends_with(".html") || name.ends_with("_box.html")) return "index.html";
  for (char c : name.substr(0, name.size() - 5))
    if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_')) return "index.html";
  return name;
}
