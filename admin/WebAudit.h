// The web interface's part of the audit trail: one record for what a
// request did, naming the session's account, the client's address and the
// selected server, held to the session's share. Called by the commands of
// the web pages after they acted (and by the login after a refusal).
//
// Thread-safety: any web thread.
#pragma once

#include <string>

struct TWebRequest;

// The client's address of a request: the peer's. The one place to change
// when addresses forwarded by a trusted proxy are believed.
std::string ClientAddress(const TWebRequest& r);

// A record of `kind` about the request's selected server.
void AuditWeb(TWebRequest& r, const char* kind, std::string detail);
// The same about server `serverID` (the Servers page, a failed login: none).
void AuditWeb(TWebRequest& r, const std::string& serverID, const char* kind, std::string detail);
