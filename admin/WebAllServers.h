// The "All servers" overview of the web interface and the server switch in
// the page header, both for super server administrators: every virtual
// server with its name, UDP port, players online of its maximum, its
// traffic of the last sampling interval and its state; the switch lists the
// running ones. TWebInterface's operator pages gather the rows
// (WebOperatorPages.cpp) and put these fragments into all_servers.html and
// top.html.
//
// Thread-safety: pure functions over copied rows.
#pragma once

#include <string>
#include <vector>

#include "admin/WebServers.h"

struct TServerOverviewRow {
  TWebServerRow Server;
  double BytesInPerSec = 0, BytesOutPerSec = 0;  // the last sample; 0 without one
};

// The table id="all-servers" (data-server = id on each row), sortable by
// each column and filtered by the page's script; cells that sort by a value
// other than their text carry it in data-sort. The row of `selectedId` is
// marked as the one the pages act on; every other running one has an Open
// button that switches to it.
std::string RenderAllServers(const std::vector<TServerOverviewRow>& rows, const std::string& selectedId);
// The header's form: a choice of the running servers, `selectedId`
// preselected, that posts to SELECT_SERVER.PLCMD and comes back to `page`.
std::string RenderServerSwitch(const std::vector<TWebServerRow>& rows, const std::string& selectedId,
                               const std::string& page);
// `document` (a request path) when it names a page to come back to after a
// switch (a plain .html name of the folder, no message box), else
// "index.html".
std::string SwitchReturnPage(const std::string& document);
