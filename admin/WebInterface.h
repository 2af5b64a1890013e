// TWebInterface: the web administration interface. Runs the HTTP server on
// its own port, keeps the browsers' sessions, and answers every request
// through one routing function: the login page before login, the log-in and
// log-out commands, the session page, the pages of the document folder
// (templates expanded, WebTemplates.cpp), the commands (WebCommands.cpp)
// and plain files. Start-up creates and starts it; shutdown destroys it.
//
// Every value a page shows is HTML-escaped; a document must resolve, with
// symlinks followed, inside the document folder; the stored credentials are
// checked again on every request; wrong passwords at LOGIN.PLCMD go through
// the process's login throttle.
//
// Thread-safety: the HTTP server calls the handlers on one thread per
// connection, so every public operation may run on many threads at once.
// Sessions carry their own locks (admin/WebSessions.h). Servers are found in
// ServerList and reached through TServerAccess (server/ServerAccess.h),
// accounts through database/Accounts.h.
// Lifetime: the destructor stops the server and waits for every request.
#pragma once

#include <httplib.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <thread>

#include "admin/Metrics.h"
#include "admin/MimeTypes.h"
#include "admin/WebRegistry.h"
#include "admin/WebSessions.h"
#include "admin/WebTemplates.h"
#include "common/ClientObject.h"
#include "common/Clock.h"
#include "common/LogRateLimiter.h"
#include "server/ServerAccess.h"

class THttpServer;

struct TWebInterfaceConfig {
  std::string BindAddress;  // empty: all addresses
  std::string DateTimeFormat = "dd-mm-yyyy hh:nn:ss";
  std::string MimeTable = "/etc/mime.types";
  TClock* Clock = nullptr;  // none: the system clock
  time_t ReadTimeoutSec = 5;
  time_t KeepAliveSec = 5;  // how long a connection may wait for its next request
  // Empty: no metrics page. Else /metrics answers a GET that presents
  // "Authorization: Bearer <token>"; everything else there gets 404.
  std::string MetricsToken = "";
  // Fills in the process figures that live above this layer (uptime, the
  // query's connections); none: they read 0.
  std::function<void(TProcessFigures&)> ProcessFigures = nullptr;
  // PEM files; both set: the port speaks TLS only.
  std::string TlsCertificate = "";
  std::string TlsKey = "";
  // Proxies whose X-Forwarded-* headers are believed, and the public address
  // the interface is reached at (admin/HttpForwarding.h).
  std::string TrustedProxies = "";
  std::string PublicURL = "";
};

// One request on its way through the interface.
struct TWebRequest {
  const httplib::Request& Request;
  httplib::Response& Response;
  TWebSessionRef Session;
  // What this request's own login check found: set once at its start, and
  // what its command acts with. A parallel request of the same session may
  // change the session's copies meanwhile; these stay.
  bool LoggedIn = false;
  std::string ServerID = "";  // the selected running server's id; empty: none
  bool SuperAdmin = false;
  // A confirmed command's target, taken from the session by the registry's
  // confirmation step; empty for any other command.
  std::string Confirmed = "";
  // A request parameter (query or form), name matched without regard to
  // case; empty when absent.
  std::string Param(std::string_view name) const;
};

class TWebInterface {
 public:
  static constexpr const char* kCookieName = "PLSESSION";

  explicit TWebInterface(TWebInterfaceConfig config = {});
  ~TWebInterface();
  TWebInterface(const TWebInterface&) = delete;
  TWebInterface& operator=(const TWebInterface&) = delete;

  // Binds `port` (0: one the system chooses) and starts serving `docs`.
  bool Init(int port, const std::string& docs);
  int Port() const { return port_; }
  // Why Init failed when the port was not the reason (TLS files, settings).
  const std::string& StartFault() const { return startFault_; }
  bool Tls() const;
  // Reads the certificate and key again (SIGHUP); a pair that fails to load
  // is logged and the one in use stays. False when not on TLS or failed.
  bool ReloadTls();
  TWebSessions& Sessions() { return sessions_; }
  size_t Connections() const;  // connections being served now

  // Session handling and routing for one request: what the HTTP server's
  // handlers call, and what tests and fuzzers drive without a socket.
  void HandleRequest(const httplib::Request& request, httplib::Response& response);

  void HTTPServerSessionStart(TWebSession& session);
  void HTTPServerCommandGet(TWebRequest& r);
  std::string GetMIMEType(std::string_view fileName) const;
  // Judges an account of a server for the session: the account if it holds
  // one of the rights and passes, else none.
  using TAccountCheck = std::function<std::unique_ptr<TClientObject>(const std::string& serverId, uint16_t rights)>;
  // The login: whether the password is that of an administrator of the
  // running server on `port`. Stores "serverid", "superadmin" and, as
  // "credential", the stored password it verified against, in the session,
  // and the server and rights in the request (TWebRequest::ServerID,
  // SuperAdmin).
  bool CheckSessionLogin(std::string_view loginName, std::string_view password, std::string_view port,
                         TWebRequest& r);
  // Every later request: whether the session's account still has its rights
  // and the stored password its login verified, without a hash. A failure
  // counts in the login throttle as a wrong password.
  bool RecheckSessionLogin(TWebRequest& r);
  // A super server administrator's account on any running server that
  // passes `check`, or none.
  std::unique_ptr<TClientObject> IsSuperServerAdmin(const TAccountCheck& check);
  static void SendAccessDenied(httplib::Response& response);
  void ServeVirtualFolder(TWebRequest& r);

  // Templates (WebTemplates.cpp).
  // True when the page existed and was answered.
  bool Progress_FILE(const std::string& fileName, TWebRequest& r);
  std::string ParseCommands(const std::string& text);
  std::string LoadFile(const std::string& name);
  bool FileCheck(const std::string& name);
  // `page`: the record of the page expanded, whose markers are filled too.
  void SetVariables(std::string& text, TWebRequest& r, const TWebPage* page = nullptr);
  void CreateServerDropDownList(std::string& text);
  std::string CreateDataBaseClientList(TWebRequest& r, const TMarkers& page);

  // The time now in the DateTimeFormat setting: every time a page shows.
  std::string Now() const;
  // The markers every page may hold (the login notice, a refused form's
  // values, the navigation) and those `page` declares (WebOperatorPages.cpp);
  // and a status page (403, 404) in the site's look, `plainBody` before login.
  void AddPageMarkers(TMarkers& markers, const std::string& upperText, TWebRequest& r, const TWebPage* page,
                      const TWebPageView& view);
  void SendStyledStatus(TWebRequest& r, int status, std::string_view title, std::string_view text,
                        const std::string& plainBody);
  // Ends the session's login and leaves `reason` for the login page.
  void EndLogin(TWebRequest& r, const char* reason);

  // Commands (WebCommands.cpp), found in the registry (admin/WebRegistry.h).
  // Runs the command the document names; true when it was answered (an
  // unknown command is answered with nothing).
  bool Progress_COMMAND(const std::string& document, TWebRequest& r);
  // Whether the document names a command that needs no login.
  static bool MayRunWithoutLogin(std::string_view document);
  static void DisplayError(httplib::Response& response, std::string_view title, std::string_view text,
                           std::string_view url);
  static void DisplayOK(httplib::Response& response, std::string_view title, std::string_view text,
                        std::string_view url);
  static void DisplayChoice(httplib::Response& response, std::string_view title, std::string_view text,
                            std::string_view urlYes, std::string_view urlNo, std::string_view yes,
                            std::string_view no);

  // What the commands' and pages' records reach.
  // The running server this request's login check selected, or none.
  TServerRef SelectedServer(TWebRequest& r);
  TTrafficSampler& Sampler() { return sampler_; }

 private:
  // The session's account judged by `check` on the running server on `port`
  // (or as a super server administrator of any); stores the outcome.
  bool CheckSessionAccount(std::string_view port, const TAccountCheck& check, TWebRequest& r);
  // `path` made canonical (symlinks resolved) when it lies inside the
  // document folder; empty otherwise.
  std::string InsideDocs(const std::string& path) const;
  void ServePlainFile(const std::string& file, TWebRequest& r);
  // The metrics page, without a session: a scraper is no browser.
  void ServeMetrics(const httplib::Request& request, httplib::Response& response);
  bool MayScrape(const httplib::Request& request);

  TWebInterfaceConfig config_;
  TClock* clock_;
  std::unique_ptr<THttpServer> http_;
  // Anyone who reaches the port decides how often a request line is logged;
  // its windows run on clock_.
  TLockedLogRateLimiter requestLines_;
  TMimeTypes mime_;
  std::string docs_;       // as given
  std::string docsCanon_;  // canonical, for the containment check
  TWebSessions sessions_;
  TTrafficSampler sampler_;  // the charts' samples, taken while the interface runs
  std::thread listener_;
  std::atomic<bool> listenEnded_{false};
  int port_ = 0;
  std::string startFault_;
};
