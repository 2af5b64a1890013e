#include "admin/WebPlayers.h"

#include <algorithm>
#include <cstdio>
#include <map>

#include "admin/WebText.h"
#include "common/ClientObject.h"

namespace {

const TWebChannel* FindChannel(const std::vector<TWebChannel>& channels, uint32_t id) {
  for (const TWebChannel& c : channels)
    if (c.Id == id) return &c;
  return nullptr;
}

// One action of a row: a small form naming the player by id and nickname, so
// that an action never lands on someone who took the id after the target left.
std::string ActionForm(const char* command, const TWebPlayer& p, const std::string& fields, const char* label,
                       const char* buttonClass) {
  return std::string("<form method=\"post\" action=\"") + command +
         "\" accept-charset=\"windows-1252\"><input type=\"hidden\" name=\"player\" value=\"" + std::to_string(p.Id) +
         "\"><input type=\"hidden\" name=\"nick\" value=\"" + HtmlEscape(p.Nick) + "\">" + fields + "<button type=\"submit\" class=\"" +
         buttonClass + "\" aria-label=\"" + label + " " + HtmlEscape(p.Nick) + "\">" + label + "</button></form>";
}

std::string Cell(const char* label, const std::string& html, const char* cls = nullptr) {
  return std::string("<td data-label=\"") + label + "\"" + (cls ? std::string(" class=\"") + cls + "\"" : "") + ">" +
         html + "</td>";
}

}  // namespace

std::vector<std::pair<const TWebChannel*, int>> ChannelTree(const std::vector<TWebChannel>& channels) {
  std::map<uint32_t, std::vector<const TWebChannel*>> children;  // parent id -> sub-channels
  std::vector<const TWebChannel*> tops;
  for (const TWebChannel& c : channels) {
    if (c.Parent != c.Id && FindChannel(channels, c.Parent))
      children[c.Parent].push_back(&c);
    else
      tops.push_back(&c);
  }
  const auto byOrder = [](const TWebChannel* a, const TWebChannel* b) {
    return a->Order != b->Order ? a->Order < b->Order : a->Name < b->Name;
  };
  std::vector<std::pair<const TWebChannel*, int>> out;
  // Depth-first with an explicit stack; a loop in the parent links (which a
  // channel list never has, but a snapshot must not hang on) is cut by the
  // visited count.
  std::sort(tops.begin(), tops.end(), byOrder);
  std::vector<std::pair<const TWebChannel*, int>> stack;
  for (auto it = tops.rbegin(); it != tops.rend(); ++it) stack.push_back({*it, 0});
  while (!stack.empty() && out.size() < channels.size()) {
    const auto [c, depth] = stack.back();
    stack.pop_back();
    out.push_back({c, depth});
    auto subs = children[c->Id];
    std::sort(subs.begin(), subs.end(), byOrder);
    for (auto it = subs.rbegin(); it != subs.rend(); ++it) stack.push_back({*it, depth + 1});
  }
  return out;
}

std::string ChannelPath(const std::vector<TWebChannel>& channels, uint32_t id) {
  const TWebChannel* c = FindChannel(channels, id);
  if (!c) return "?";
  const TWebChannel* parent = c->Parent != c->Id ? FindChannel(channels, c->Parent) : nullptr;
  return parent ? parent->Name + " / " + c->Name : c->Name;
}

bool PlayerMuted(const TWebPlayer& player, const std::vector<TWebChannel>& channels) {
  const TWebChannel* c = FindChannel(channels, player.Channel);
  if (!c || !c->Moderated) return false;
  const uint16_t mayTalk = ChannelPrivileges::ChannelAdmin | ChannelPrivileges::Operator | ChannelPrivileges::Voice;
  return !(player.ChannelRights & mayTalk) && !(player.PlayerRights & PlayerPrivileges::ServerAdmin);
}

std::string FormatDuration(uint32_t seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%u:%02u:%02u", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return buf;
}

std::string ChannelRightsText(uint16_t rights) {
  static const std::pair<uint16_t, const char*> kWords[] = {{ChannelPrivileges::ChannelAdmin, "admin"},
                                                            {ChannelPrivileges::Operator, "operator"},
                                                            {ChannelPrivileges::Voice, "voice"},
                                                            {ChannelPrivileges::AutoOperator, "auto-operator"},
                                                            {ChannelPrivileges::AutoVoice, "auto-voice"}};
  std::string text;
  for (const auto& [bit, word] : kWords)
    if (rights & bit) text += (text.empty() ? "" : ", ") + std::string(word);
  return text.empty() ? "none" : text;
}

std::string RenderPlayersList(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                              bool showAddress) {
  if (players.empty()) return "<p id=\"no-players\">No players are online.</p>";
  std::string options;
  for (const auto& [c, depth] : ChannelTree(channels))
    options += "<option value=\"" + std::to_string(c->Id) + "\">" + std::string(static_cast<size_t>(depth) * 2, '-') +
               (depth ? " " : "") + HtmlEscape(c->Name) + "</option>";
  std::string html =
      "<table class=\"list players stack\" id=\"players-table\"><thead><tr><th>Nickname</th><th>Login name</th>"
      "<th>Channel</th><th>Talking</th><th>Muted</th><th>Channel rights</th><th>Connected</th><th>Idle</th>";
  if (showAddress) html += "<th>Address</th>";
  html += "<th>Actions</th></tr></thead><tbody>";
  for (const TWebPlayer& p : players) {
    const std::string nick = HtmlEscape(p.Nick);
    html += "<tr data-player=\"" + std::to_string(p.Id) + "\">";
    html += Cell("Nickname", nick, "nick");
    html += Cell("Login name", HtmlEscape(p.Login));
    html += Cell("Channel", HtmlEscape(ChannelPath(channels, p.Channel)), "channel");
    html += Cell("Talking", p.Talking ? "<span class=\"badge on\">talking</span>" : "no", "talking");
    html += Cell("Muted", PlayerMuted(p, channels) ? "<span class=\"badge warn\">muted</span>" : "no", "muted");
    html += Cell("Channel rights", ChannelRightsText(p.ChannelRights));
    html += Cell("Connected", FormatDuration(p.ConnectedSec));
    html += Cell("Idle", FormatDuration(p.IdleSec));
    if (showAddress) html += Cell("Address", HtmlEscape(p.Address), "address");
    // The player's own channel comes preselected.
    std::string choices = options;
    const std::string own = "value=\"" + std::to_string(p.Channel) + "\"";
    if (const size_t at = choices.find(own); at != std::string::npos) choices.insert(at + own.size(), " selected");
    // Each button is named with its player ("Kick Bob"): a screen reader's
    // list of buttons would otherwise hold a hundred alike.
    std::string actions = ActionForm("ASK_KICK_PLAYER.PLCMD", p, "", "Kick", "link danger");
    actions += ActionForm("MOVE_PLAYER.PLCMD", p,
                          "<select name=\"channel\" aria-label=\"Channel for " + nick + "\">" + choices + "</select>",
                          "Move", "secondary");
    actions += ActionForm("MESSAGE_PLAYER.PLCMD", p,
                          "<input type=\"text\" name=\"text\" maxlength=\"255\" required aria-label=\"Message for " + nick +
                              "\" placeholder=\"Text for " + nick + "\">",
                          "Message", "secondary");
    html += Cell("Actions", actions, "actions");
    html += "</tr>";
  }
  return html + "</tbody></table>";
}
