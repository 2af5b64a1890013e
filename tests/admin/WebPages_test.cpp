// The Players and Servers pages' building blocks, the registry's records, and
// the form text check.
#include <gtest/gtest.h>

#include <set>

#include "admin/FormText.h"
#include "admin/WebCompression.h"
#include "admin/WebPlayers.h"
#include "admin/WebRegistry.h"
#include "admin/WebServers.h"
#include "common/ClientObject.h"
#include "common/ChannelRecord.h"

namespace {

std::vector<TWebChannel> Channels() {
  // Ids out of tree order, with a sub-channel and a loop that must not hang.
  return {{5, 1, 0, false, "Sub <b>"}, {1, kNoParent, 2, true, "Lobby"}, {2, kNoParent, 1, false, "Games"},
          {7, 8, 0, false, "A"},       {8, 7, 0, false, "B"}};
}

}  // namespace

TEST(WebPlayers, TreeOrderPathsAndMuting) {
  const auto channels = Channels();
  const auto tree = ChannelTree(channels);
  ASSERT_EQ(tree.size(), 3u) << "channels in a parent loop are not reachable from the top";
  EXPECT_EQ(tree[0].first->Name, "Games");
  EXPECT_EQ(tree[1].first->Name, "Lobby");
  EXPECT_EQ(tree[2].first->Name, "Sub <b>");
  EXPECT_EQ(tree[2].second, 1);
  EXPECT_EQ(ChannelPath(channels, 5), "Lobby / Sub <b>");
  EXPECT_EQ(ChannelPath(channels, 99), "?");

  TWebPlayer p;
  p.Channel = 1;  // moderated
  EXPECT_TRUE(PlayerMuted(p, channels));
  p.ChannelRights = ChannelPrivileges::Voice;
  EXPECT_FALSE(PlayerMuted(p, channels));
  p.ChannelRights = ChannelPrivileges::AutoVoice;
  p.PlayerRights = PlayerPrivileges::ServerAdmin;
  EXPECT_FALSE(PlayerMuted(p, channels));
  p.Channel = 2;
  p.PlayerRights = 0;
  EXPECT_FALSE(PlayerMuted(p, channels));
  EXPECT_EQ(FormatDuration(90061), "25:01:01");
  EXPECT_EQ(ChannelRightsText(0), "none");
  EXPECT_EQ(ChannelRightsText(ChannelPrivileges::ChannelAdmin | ChannelPrivileges::Voice), "admin, voice");
}

TEST(WebPlayers, RowsEscapeTextsAndShowTheAddressOnlyWhenAsked) {
  const auto channels = Channels();
  EXPECT_NE(RenderPlayersList({}, channels, true).find("id=\"no-players\""), std::string::npos);
  TWebPlayer p;
  p.Id = 3;
  p.Nick = "<script>";
  p.Channel = 5;
  p.Address = "10.1.2.3";
  p.Talking = true;
  const std::string admin = RenderPlayersList({p}, channels, true);
  EXPECT_EQ(admin.find("<script>"), std::string::npos);
  EXPECT_NE(admin.find("&lt;script&gt;"), std::string::npos);
  EXPECT_NE(admin.find("Lobby / Sub &lt;b&gt;"), std::string::npos);
  EXPECT_NE(admin.find("10.1.2.3"), std::string::npos);
  EXPECT_NE(admin.find("<option value=\"5\" selected>"), std::string::npos) << "the own channel is preselected";
  for (const char* action : {"ASK_KICK_PLAYER.PLCMD", "MOVE_PLAYER.PLCMD", "MESSAGE_PLAYER.PLCMD"})
    EXPECT_NE(admin.find(action), std::string::npos) << action;
  EXPECT_EQ(RenderPlayersList({p}, channels, false).find("10.1.2.3"), std::string::npos);
}

TEST(WebPlayers, AThousandPlayersArePagedSearchedAndSortedWithTheirCount) {
  const auto channels = Channels();
  std::vector<TWebPlayer> players(1000);
  for (uint32_t i = 0; i < players.size(); ++i) {
    players[i].Id = i + 1;
    players[i].Nick = "bot" + std::to_string(i);
    players[i].Login = i % 100 == 0 ? "Clan\"" + std::to_string(i) : "";
    players[i].Address = "10.0." + std::to_string(i / 256) + "." + std::to_string(i % 256);
    players[i].ConnectedSec = (i * 7919) % 1000;
    players[i].Channel = i % 2 ? 1 : 2;
  }
  TPlayerSelection page = SelectPlayers(players, channels, {}, true);
  EXPECT_EQ(page.Online, 1000u);
  EXPECT_EQ(page.Pages, 20u);
  ASSERT_EQ(page.Rows.size(), 50u);
  EXPECT_EQ(page.Rows[0]->Nick, "bot0");
  EXPECT_EQ(page.Rows[1]->Nick, "bot1") << "nicknames by their text";

  const TPlayerQuery byTime = ReadPlayerQuery("", "CONNECTED", "desc", "999", "200");
  page = SelectPlayers(players, channels, byTime, true);
  EXPECT_EQ(page.Page, 5u) << "a page past the end shows the last";
  EXPECT_EQ(page.Rows.back()->ConnectedSec, 0u);
  EXPECT_GE(page.Rows.front()->ConnectedSec, page.Rows.back()->ConnectedSec);
  EXPECT_EQ(ReadPlayerQuery("", "<script>", "x", "-1", "100000").Sort, "nick");
  EXPECT_EQ(ReadPlayerQuery("", "", "", "0", "100000").PageSize, TPlayerQuery::kMaxPageSize);

  // Login name and address are searched too, letters in any case; the
  // address only for administrators.
  EXPECT_EQ(SelectPlayers(players, channels, ReadPlayerQuery("clan\"", "", "", "", ""), true).Matched, 10u);
  EXPECT_EQ(SelectPlayers(players, channels, ReadPlayerQuery("10.0.3.25", "", "", "", ""), true).Matched, 1u);
  EXPECT_EQ(SelectPlayers(players, channels, ReadPlayerQuery("10.0.3.25", "", "", "", ""), false).Matched, 0u);

  const std::string html = RenderPlayersList(players, channels, true, ReadPlayerQuery("bot99", "", "", "", ""));
  EXPECT_NE(html.find("1000 players online, 11 matching"), std::string::npos);
  EXPECT_EQ(html.find("players-pager"), std::string::npos) << "one page needs no pager";
  EXPECT_NE(html.find("q=bot99"), std::string::npos) << "sorting keeps the search";
  EXPECT_NE(RenderPlayersList(players, channels, true, ReadPlayerQuery("nobody", "", "", "", "")).find("id=\"no-match\""),
            std::string::npos);
  const std::string paged = RenderPlayersList(players, channels, true, {});
  EXPECT_NE(paged.find("Page 1 of 20"), std::string::npos);
  EXPECT_LT(paged.size(), 200'000u) << "one page, not the whole list";

  players[0].Nick = "a\"b\\<\x01\xe9";
  const std::string json = PlayersJson(players, channels, false, ReadPlayerQuery("a\"", "", "", "", ""));
  EXPECT_EQ(json, "{\"online\":1000,\"matched\":1,\"page\":1,\"pages\":1,\"rows\":[[1,\"a\\\"b\\\\\\u003c\\u0001\xe9\","
                  "\"Clan\\\"0\",2,\"Games\",0,0,\"none\",\"0:00:00\",\"0:00:00\",\"\"]]}");
}

TEST(WebServers, RowsSortedByPortWithTheActionsOfTheirState) {
  std::vector<TWebServerRow> rows = {{"server_cfg B", "B & B", 9000, 2, 12, true},
                                     {"server_cfg A", "A", 8000, 0, 5, false}};
  SortByPort(rows);
  EXPECT_EQ(rows[0].Id, "server_cfg A");
  const std::string html = RenderServersList(rows);
  const size_t stopped = html.find("data-server=\"server_cfg A\""), running = html.find("data-server=\"server_cfg B\"");
  ASSERT_LT(stopped, running);
  EXPECT_LT(html.find("SERVERS_START.PLCMD", stopped), running);
  EXPECT_EQ(html.find("SERVERS_START.PLCMD", running), std::string::npos) << "no Start for a running one";
  EXPECT_GT(html.find("SERVERS_STOP.PLCMD"), running) << "no Stop for a stopped one";
  EXPECT_NE(html.find("B &amp; B"), std::string::npos);
  EXPECT_NE(html.find("2 / 12"), std::string::npos);
  EXPECT_EQ(RenderServerOptions(rows), "<option value=\"9000\">B &amp; B (port 9000)</option>");
}

TEST(WebCompression, GzipOnlyWhereOfferedAndReadableBack) {
  EXPECT_TRUE(AcceptsCoding("gzip, deflate, br", "gzip"));
  EXPECT_TRUE(AcceptsCoding("br;q=1.0, GZIP;q=0.5", "gzip"));
  EXPECT_FALSE(AcceptsCoding("gzip;q=0, br", "gzip"));
  EXPECT_FALSE(AcceptsCoding("gzip;q=0.000", "gzip"));
  EXPECT_FALSE(AcceptsCoding("xgzip", "gzip"));
  const std::string text(5000, 'x');
  const std::string packed = GzipText(text);
  ASSERT_GT(packed.size(), 10u);
  EXPECT_LT(packed.size(), 200u);
  std::string back;
  httplib::detail::gzip_decompressor unpack;
  ASSERT_TRUE(unpack.decompress(packed.data(), packed.size(), [&](const char* d, size_t n) {
    back.append(d, n);
    return true;
  }));
  EXPECT_EQ(back, text);
}

TEST(FormText, FindsTheReferencesABrowserSendsForForeignCharacters) {
  EXPECT_TRUE(HoldsCharacterReference("&#321;\xf3" "d&#378;"));
  EXPECT_TRUE(HoldsCharacterReference("x&#x1F600;"));
  EXPECT_FALSE(HoldsCharacterReference("Caf\xe9 & Bar #1"));
  EXPECT_FALSE(HoldsCharacterReference("&#;"));
  EXPECT_FALSE(HoldsCharacterReference("&#12"));
  EXPECT_FALSE(HoldsCharacterReference("&#xZ;"));
  EXPECT_EQ(HtmlEscapeKeepingReferences("<&#321;&#;&#x41;\"&#9"), "&lt;&#321;&amp;#;&#x41;&quot;&amp;#9");
}

// A record the routing cannot act on fails here rather than in a browser:
// a confirmation without its question, its session value or its way back, an
// asking document without its reading, a name two records share.
TEST(WebRegistry, EveryRecordCanBeFoundAndEveryConfirmationIsComplete) {
  std::set<std::string> names;
  for (const auto& list : {AccountCommands(), OperatorCommands()})
    for (const TWebCommand& c : list) {
      EXPECT_TRUE(names.insert(c.Name).second) << c.Name;
      bool asking = true;
      EXPECT_EQ(FindWebCommand(std::string("/") + c.Name, asking), &c) << c.Name;
      EXPECT_FALSE(asking);
      const TWebConfirmation& confirm = c.Confirm;
      if (!confirm.Question && !confirm.Pending) continue;
      EXPECT_TRUE(confirm.Question && confirm.Pending && confirm.Back) << c.Name;
      EXPECT_TRUE(IsPendingValue(confirm.Pending)) << c.Name;
      if (!confirm.Asker) continue;
      EXPECT_TRUE(names.insert(confirm.Asker).second) << confirm.Asker;
      EXPECT_TRUE(confirm.Read) << confirm.Asker;
      EXPECT_EQ(FindWebCommand(std::string("/") + confirm.Asker, asking), &c);
      EXPECT_TRUE(asking);
    }
  bool asking = false;
  EXPECT_EQ(FindWebCommand("/ask_kick_player.plcmd", asking), FindWebCommand("KICK_PLAYER.PLCMD"));
  EXPECT_FALSE(FindWebCommand("/NOPE.PLCMD", asking));
  EXPECT_FALSE(IsPendingValue("username"));
  EXPECT_EQ(FindWebPage("/srv/docs/Players.HTML"), FindWebPage("players.html"));
  EXPECT_TRUE(FindWebPage("players.html"));
}
