#include "admin/WebAudit.h"

#include "admin/HttpForwarding.h"
#include "admin/WebInterface.h"
#include "common/AuditLog.h"

namespace {

TAuditRecord WebRecord(TWebRequest& r, const std::string& serverID, const char* kind, std::string detail) {
  TAuditRecord record;
  record.Surface = audit_surface::Web;
  record.Actor = r.LoggedIn ? r.Session->Get("username") : "web";
  record.Address = ClientAddress(r.Request);
  record.Server = serverID;
  record.Kind = kind;
  record.Detail = std::move(detail);
  return record;
}

}  // namespace

void AuditWeb(TWebRequest& r, const char* kind, std::string detail) {
  AuditWeb(r, r.ServerID, kind, std::move(detail));
}

void AuditWeb(TWebRequest& r, const std::string& serverID, const char* kind, std::string detail) {
  Audit(WebRecord(r, serverID, kind, std::move(detail)), r.Session->AuditShare);
}

void AuditWebLoginFailed(TWebRequest& r, const std::string& username) {
  Audit(WebRecord(r, "", "login-failed", "as " + username), StrangersAuditShare());
}
