// One announcement cycle of the web list: the form that describes a running
// virtual server, and the walk over the running servers that posts it to
// the list addresses. TWebPost (announce/WebPost.h) runs a cycle every
// 300 s; tests call RunAnnouncementCycle directly.
//
// Thread-safety: runs on the calling thread. Reads the process-wide
// settings and the server objects without locks, apart from the ServerList
// lock while the snapshot is taken and the locks the server's counts take.
#pragma once

#include <atomic>
#include <string>

#include "announce/HttpClient.h"

class TServerObject;

// The announcement form of `server` in field order; empty values left out.
TFormFields BuildAnnouncementForm(TServerObject& server);

// Posts the form of every running server to `defaultPostUrl`, then PostUrl,
// then the server's own link URL. A failing post ends only that post: an
// unreachable list must not keep the others from hearing of the server.
// Failures are not reported. Stops early once `terminate` is set.
void RunAnnouncementCycle(THttpClient& client, const std::string& defaultPostUrl,
                          const std::atomic<bool>& terminate);
