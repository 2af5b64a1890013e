#include "admin/WebAudit.h"

#include "admin/WebInterface.h"
#include "common/AuditLog.h"

std::string ClientAddress(const TWebRequest& r) { return r.Request.remote_addr; }

void AuditWeb(TWebRequest& r, const char* kind, std::string detail) {
  AuditWeb(r, r.ServerID, kind, std::move(detail));
}

void AuditWeb(TWebRequest& r, const std::string& serverID, const char* kind, std::string detail) {
  TAuditRecord record;
  record.Surface = audit_surface::Web;
  record.Actor = r.LoggedIn ? r.Session->Get("username") : "web";
  record.Address = ClientAddress(r);
  record.Server = serverID;
  record.Kind = kind;
  record.Detail = std::move(detail);
  Audit(std::move(record), r.Session->AuditShare);
}
