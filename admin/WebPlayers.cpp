#include "admin/WebPlayers.h"

#include <algorithm>
#include <charconv>
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

namespace {

struct TColumn {
  const char* Key;
  const char* Label;
};
// The columns in the table's order; the address only for administrators.
constexpr TColumn kColumns[] = {{"nick", "Nickname"},       {"login", "Login name"}, {"channel", "Channel"},
                                {"talking", "Talking"},     {"muted", "Muted"},      {"rights", "Channel rights"},
                                {"connected", "Connected"}, {"idle", "Idle"},        {"address", "Address"}};

bool KnownColumn(const std::string& key) {
  for (const TColumn& c : kColumns)
    if (key == c.Key) return true;
  return false;
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

bool ParsePositive(const std::string& text, uint32_t& value) {
  uint32_t v = 0;
  const auto r = std::from_chars(text.data(), text.data() + text.size(), v);
  if (text.empty() || r.ec != std::errc() || r.ptr != text.data() + text.size() || v == 0) return false;
  value = v;
  return true;
}

// A row's key for a column: a number or a text, compared as such.
struct TSortKey {
  int64_t Number = 0;
  std::string Text;
};

TSortKey KeyOf(const TWebPlayer& p, const std::string& column, const std::vector<TWebChannel>& channels) {
  if (column == "login") return {0, Lower(p.Login)};
  if (column == "channel") return {0, Lower(ChannelPath(channels, p.Channel))};
  if (column == "talking") return {p.Talking ? 1 : 0, ""};
  if (column == "muted") return {PlayerMuted(p, channels) ? 1 : 0, ""};
  if (column == "rights") return {p.ChannelRights, ""};
  if (column == "connected") return {p.ConnectedSec, ""};
  if (column == "idle") return {p.IdleSec, ""};
  if (column == "address") return {0, p.Address};
  return {0, Lower(p.Nick)};
}

void JsonString(std::string& out, std::string_view text) {
  out += '"';
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20 || c == '<') {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  out += '"';
}

}  // namespace

TPlayerQuery ReadPlayerQuery(const std::string& search, const std::string& sort, const std::string& dir,
                             const std::string& page, const std::string& size) {
  TPlayerQuery q;
  q.Search = search.substr(0, 64);
  const std::string key = Lower(sort);
  if (KnownColumn(key)) q.Sort = key;
  q.Descending = Lower(dir) == "desc";
  ParsePositive(page, q.Page);
  uint32_t rows = 0;
  if (ParsePositive(size, rows)) q.PageSize = std::min(rows, TPlayerQuery::kMaxPageSize);
  return q;
}

std::string PlayerQueryLink(const TPlayerQuery& query, uint32_t page, const std::string& sort, bool descending) {
  std::string link = "players.html?sort=" + sort + (descending ? "&amp;dir=desc" : "") + "&amp;page=" +
                     std::to_string(page);
  if (query.PageSize != TPlayerQuery::kDefaultPageSize) link += "&amp;size=" + std::to_string(query.PageSize);
  if (!query.Search.empty()) link += "&amp;q=" + UrlEncode(query.Search);
  return link;
}

TPlayerSelection SelectPlayers(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                               const TPlayerQuery& query, bool searchAddress) {
  TPlayerSelection out;
  out.Online = players.size();
  const std::string needle = Lower(query.Search);
  std::vector<std::pair<TSortKey, const TWebPlayer*>> rows;
  rows.reserve(players.size());
  for (const TWebPlayer& p : players) {
    if (!needle.empty() && Lower(p.Nick).find(needle) == std::string::npos &&
        Lower(p.Login).find(needle) == std::string::npos &&
        !(searchAddress && p.Address.find(needle) != std::string::npos))
      continue;
    rows.push_back({KeyOf(p, query.Sort, channels), &p});
  }
  out.Matched = rows.size();
  // Equal keys keep one order from refresh to refresh: by nickname, then id.
  std::sort(rows.begin(), rows.end(), [&](const auto& a, const auto& b) {
    if (a.first.Number != b.first.Number || a.first.Text != b.first.Text) {
      const bool less =
          a.first.Number != b.first.Number ? a.first.Number < b.first.Number : a.first.Text < b.first.Text;
      return query.Descending ? !less : less;
    }
    if (a.second->Nick != b.second->Nick) return a.second->Nick < b.second->Nick;
    return a.second->Id < b.second->Id;
  });
  const size_t size = std::max<uint32_t>(query.PageSize, 1);
  out.Pages = static_cast<uint32_t>(std::max<size_t>(1, (rows.size() + size - 1) / size));
  out.Page = std::min(std::max<uint32_t>(query.Page, 1), out.Pages);
  const size_t first = (out.Page - 1) * size;
  for (size_t i = first; i < rows.size() && i < first + size; ++i) out.Rows.push_back(rows[i].second);
  return out;
}

std::string RenderPlayersList(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                              bool showAddress, const TPlayerQuery& query) {
  if (players.empty()) return "<p id=\"no-players\">No players are online.</p>";
  const TPlayerSelection page = SelectPlayers(players, channels, query, showAddress);
  std::string html = "<p class=\"count\" id=\"players-count\" data-online=\"" + std::to_string(page.Online) +
                     "\" data-matched=\"" + std::to_string(page.Matched) + "\">" + std::to_string(page.Online) +
                     (page.Online == 1 ? " player" : " players") + " online";
  if (!query.Search.empty())
    html += ", " + std::to_string(page.Matched) + " matching &ldquo;" + HtmlEscape(query.Search) + "&rdquo;";
  if (page.Rows.empty()) return html + ".</p><p id=\"no-match\">No player matches the search.</p>";
  const size_t first = (page.Page - 1) * static_cast<size_t>(query.PageSize) + 1;
  html += "; showing " + std::to_string(first) + "&ndash;" + std::to_string(first + page.Rows.size() - 1) + ".</p>";
  std::string options;
  for (const auto& [c, depth] : ChannelTree(channels))
    options += "<option value=\"" + std::to_string(c->Id) + "\">" + std::string(static_cast<size_t>(depth) * 2, '-') +
               (depth ? " " : "") + HtmlEscape(c->Name) + "</option>";
  html += "<table class=\"list players stack\" id=\"players-table\" data-page=\"" + std::to_string(page.Page) +
          "\" data-pages=\"" + std::to_string(page.Pages) + "\"><thead><tr>";
  for (const TColumn& c : kColumns) {
    if (!showAddress && std::string_view(c.Key) == "address") continue;
    const bool sorted = query.Sort == c.Key;
    html += std::string("<th") +
            (sorted ? (query.Descending ? " aria-sort=\"descending\"" : " aria-sort=\"ascending\"") : "") +
            "><a class=\"sort\" href=\"" + PlayerQueryLink(query, 1, c.Key, sorted && !query.Descending) + "\">" +
            c.Label + "</a></th>";
  }
  html += "<th>Actions</th></tr></thead><tbody>";
  for (const TWebPlayer* row : page.Rows) {
    const TWebPlayer& p = *row;
    const std::string nick = HtmlEscape(p.Nick);
    html += "<tr data-player=\"" + std::to_string(p.Id) + "\">";
    html += Cell("Nickname", nick, "nick");
    html += Cell("Login name", HtmlEscape(p.Login), "login");
    html += Cell("Channel", HtmlEscape(ChannelPath(channels, p.Channel)), "channel");
    html += Cell("Talking", p.Talking ? "<span class=\"badge on\">talking</span>" : "no", "talking");
    html += Cell("Muted", PlayerMuted(p, channels) ? "<span class=\"badge warn\">muted</span>" : "no", "muted");
    html += Cell("Channel rights", ChannelRightsText(p.ChannelRights), "rights");
    html += Cell("Connected", FormatDuration(p.ConnectedSec), "connected");
    html += Cell("Idle", FormatDuration(p.IdleSec), "idle");
    if (showAddress) html += Cell("Address", HtmlEscape(p.Address), "address");
    // The player's own channel comes preselected.
    std::string choices = options;
    const std::string own = "value=\"" + std::to_string(p.Channel) + "\"";
    if (const size_t at = choices.find(own); at != std::string::npos) choices.insert(at + own.size(), " selected");
    // Each button is named with its player ("Kick Bob"): a screen reader's
    // list of buttons would otherwise hold a hundred alike. Kick takes a
    // reason the player's client shows, and "Kick and ban for" the minutes
    // given (0 or empty: for good), by address or by account.
    std::string actions = ActionForm(
        "ASK_KICK_PLAYER.PLCMD", p,
        "<input type=\"text\" name=\"reason\" maxlength=\"29\" aria-label=\"Reason for kicking " + nick +
            "\" placeholder=\"Reason\"><select name=\"ban\" aria-label=\"Ban for " + nick +
            "\"><option value=\"\">Kick only</option><option value=\"address\">Kick and ban for &hellip; (address)</option>" +
            (p.Login.empty() ? std::string() : "<option value=\"account\">Kick and ban for &hellip; (account)</option>") +
            "</select><input type=\"number\" name=\"minutes\" min=\"0\" aria-label=\"Ban minutes for " + nick +
            "\" placeholder=\"minutes\">",
        "Kick", "link danger");
    actions += ActionForm("MOVE_PLAYER.PLCMD", p,
                          "<select name=\"channel\" aria-label=\"Channel for " + nick + "\">" + choices + "</select>",
                          "Move", "secondary");
    actions += ActionForm("MESSAGE_PLAYER.PLCMD", p,
                          "<input type=\"text\" name=\"text\" maxlength=\"255\" required aria-label=\"Message for " +
                              nick + "\" placeholder=\"Text for " + nick + "\">",
                          "Message", "secondary");
    html += Cell("Actions", actions, "actions");
    html += "</tr>";
  }
  html += "</tbody></table>";
  if (page.Pages > 1) {
    const auto link = [&](uint32_t to, const char* label, const char* rel) {
      if (to < 1 || to > page.Pages || to == page.Page) return std::string("<span class=\"off\">") + label + "</span>";
      return "<a href=\"" + PlayerQueryLink(query, to, query.Sort, query.Descending) + "\" rel=\"" + rel + "\">" +
             label + "</a>";
    };
    html += "<nav class=\"pager\" id=\"players-pager\" aria-label=\"Pages of the list\">" + link(1, "First", "first") +
            link(page.Page - 1, "Previous", "prev") + "<span class=\"at\">Page " + std::to_string(page.Page) + " of " +
            std::to_string(page.Pages) + "</span>" + link(page.Page + 1, "Next", "next") +
            link(page.Pages, "Last", "last") + "</nav>";
  }
  return html;
}

std::string PlayersJson(const std::vector<TWebPlayer>& players, const std::vector<TWebChannel>& channels,
                        bool showAddress, const TPlayerQuery& query) {
  const TPlayerSelection page = SelectPlayers(players, channels, query, showAddress);
  std::string json = "{\"online\":" + std::to_string(page.Online) + ",\"matched\":" + std::to_string(page.Matched) +
                     ",\"page\":" + std::to_string(page.Page) + ",\"pages\":" + std::to_string(page.Pages) +
                     ",\"rows\":[";
  json.reserve(json.size() + page.Rows.size() * 120);
  for (const TWebPlayer* p : page.Rows) {
    if (json.back() != '[') json += ',';
    json += '[' + std::to_string(p->Id) + ',';
    JsonString(json, p->Nick);
    json += ',';
    JsonString(json, p->Login);
    json += ',' + std::to_string(p->Channel) + ',';
    JsonString(json, ChannelPath(channels, p->Channel));
    json += p->Talking ? ",1" : ",0";
    json += PlayerMuted(*p, channels) ? ",1," : ",0,";
    JsonString(json, ChannelRightsText(p->ChannelRights));
    json += ',';
    JsonString(json, FormatDuration(p->ConnectedSec));
    json += ',';
    JsonString(json, FormatDuration(p->IdleSec));
    json += ',';
    JsonString(json, showAddress ? p->Address : "");
    json += ']';
  }
  return json + "]}";
}
