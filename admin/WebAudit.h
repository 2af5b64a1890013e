// The web interface's part of the audit trail: one record for what a
// request did, naming the session's account, the client's address and the
// selected server, held to the session's share. Called by the commands of
// the web pages after they acted (and by the login after a refusal).
//
// Thread-safety: any web thread.
#pragma once

#include <string>

struct TWebRequest;

// A record of `kind` about the request's selected server.
void AuditWeb(TWebRequest& r, const char* kind, std::string detail);
// The same about server `serverID` (the Servers page).
void AuditWeb(TWebRequest& r, const std::string& serverID, const char* kind, std::string detail);
// A failed login as `username`, held to the allowance all strangers share.
void AuditWebLoginFailed(TWebRequest& r, const std::string& username);
