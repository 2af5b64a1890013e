// One announcement cycle of the web list: the form that describes a running
// virtual server, and the walk over the running servers that posts it to
// the list addresses. TWebPost (announce/WebPost.h) runs a cycle every
// 300 s; tests call RunAnnouncementCycle directly.
//
// Thread-safety: runs on the calling thread. Reads the servers through
// their copied views (server/ServerAccess.h), taking no lock itself apart
// from the ServerList lock while the list of ids is taken.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include "announce/HttpClient.h"

struct TServerSnapshot;

// What the announcement needs of the process; start-up fills it from
// server.ini and the built-in list address.
struct TAnnouncementEnvironment {
  std::string AdminEmail, ISPLinkURL, ISPName, ISPCountry;
  int32_t TCPQueryPort = 0;
  std::string DefaultPostUrl;  // always posted to
  std::string PostUrl;         // the operator's own list; blank: none
  std::string BindAddress;     // local address of the posts; empty: any
};

// The announcement form of a server's copied state, in field order; empty
// values left out.
TFormFields BuildAnnouncementForm(const TServerSnapshot& server, const TAnnouncementEnvironment& env);

// Posts the form of every running server to the default address, then
// PostUrl, then the server's own link URL. A failing post ends only that
// post: an unreachable list must not keep the others from hearing of the
// server. A failed post is logged (a few lines a second at most) and the
// next one goes on. Stops early once `terminate` is set.
void RunAnnouncementCycle(THttpClient& client, const TAnnouncementEnvironment& env,
                          const std::atomic<bool>& terminate);
