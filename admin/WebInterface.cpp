#include "admin/WebInterface.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>

#include "admin/HttpServer.h"
#include "admin/WebCompression.h"
#include "admin/WebFeedback.h"
#include "admin/WebFragments.h"
#include "common/CaughtLog.h"
#include "common/IniFile.h"
#include "admin/WebText.h"
#include "common/Log.h"
#include "common/LoginThrottle.h"
#include "common/TextFormat.h"
#include "database/Accounts.h"
#include "server/ServerAccess.h"
#include "server/ServerList.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kSource = "WEBINTERFACE";
constexpr size_t kCredentialLength = 29;

// Session values the server itself keeps or reads back: the session page
// never sets them, or an administrator could pose as another account or
// plant what a confirmation's "yes" acts on.
constexpr std::string_view kServerSessionValues[] = {"username",   "password", "credential", "serverport",
                                                     "serverid",   "loggedin", "superadmin", "StartTime",
                                                     "NumViews",   kLoginNoticeValue, kPasswordProof};

bool IsServerSessionValue(std::string_view name) {
  for (std::string_view own : kServerSessionValues)
    if (SameText(name, own)) return true;
  return IsPendingValue(name);
}

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return out;
}

std::string CookieValue(const httplib::Request& request, std::string_view name) {
  for (size_t n = 0; n < request.get_header_value_count("Cookie"); ++n) {
    const std::string header = request.get_header_value("Cookie", n);
    size_t pos = 0;
    while (pos < header.size()) {
      size_t end = header.find(';', pos);
      if (end == std::string::npos) end = header.size();
      const std::string part = Trim(std::string_view(header).substr(pos, end - pos));
      const size_t eq = part.find('=');
      if (eq != std::string::npos && part.compare(0, eq, name) == 0) return part.substr(eq + 1);
      pos = end + 1;
    }
  }
  return "";
}

bool HasCookie(const httplib::Request& request, std::string_view name) {
  const std::string prefix = std::string(name) + "=";
  for (size_t n = 0; n < request.get_header_value_count("Cookie"); ++n) {
    const std::string header = request.get_header_value("Cookie", n);
    for (size_t at = header.find(prefix); at != std::string::npos; at = header.find(prefix, at + 1))
      if (at == 0 || header[at - 1] == ' ' || header[at - 1] == ';') return true;
  }
  return false;
}

// Over TLS (here or at a trusted proxy) the cookie never travels in clear.
void SetCookie(const httplib::Request& request, httplib::Response& response, const std::string& value, bool expire) {
  std::string cookie = std::string(TWebInterface::kCookieName) + "=" + value + "; Path=/; HttpOnly; SameSite=Strict";
  if (RequestScheme(request) == "https") cookie += "; Secure";
  if (expire) cookie += "; Max-Age=0";
  response.set_header("Set-Cookie", cookie);
}

// The error pages the routing sends itself, with their standard reason texts.
void SendStatusPage(httplib::Response& response, int status) {
  const char* reason = status == 400 ? "Bad Request" : "Not Found";
  response.status = status;
  response.set_content(std::string("<html><head><title>Error</title></head><body><h1>") + reason +
                           "</h1></body></html>",
                       "text/HTML");
}

// The id of a server that is running now.
std::string RunningId(const TServerRef& server) { return TServerAccess(server).RunningID(); }

}  // namespace

std::string TWebRequest::Param(std::string_view name) const {
  for (const auto& [key, value] : Request.params)
    if (SameText(key, name)) return value;
  return "";
}

TWebInterface::TWebInterface(TWebInterfaceConfig config)
    : config_(std::move(config)),
      clock_(config_.Clock ? config_.Clock : SystemClock()),
      requestLines_(clock_, 10, 1000),
      mime_(config_.MimeTable),
      sessions_(clock_) {}

TWebInterface::~TWebInterface() {
  if (http_) http_->Stop();
  if (listener_.joinable()) listener_.join();
}

bool TWebInterface::Init(int port, const std::string& docs) {
  try {
    docs_ = docs;
    std::error_code ec;
    docsCanon_ = fs::weakly_canonical(fs::absolute(docs), ec).string();
    if (ec) docsCanon_ = docs;
    http_ = std::make_unique<THttpServer>(THttpTimeouts{config_.ReadTimeoutSec, config_.KeepAliveSec});
    THttpForwarding forwarding;
    if (!forwarding.Configure(config_.TrustedProxies, config_.PublicURL, startFault_)) {
      LogFmt(LMTERROR, LMDALL, kSource, "Init: %1", {startFault_});
      return false;
    }
    http_->SetForwarding(std::move(forwarding));
    // Both files or neither: a port meant for TLS never falls back to clear text.
    if ((!config_.TlsCertificate.empty() || !config_.TlsKey.empty()) &&
        !http_->LoadTls(config_.TlsCertificate, config_.TlsKey, startFault_)) {
      LogFmt(LMTERROR, LMDALL, kSource, "Init: cannot start TLS: %1", {startFault_});
      return false;
    }
    const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
      HandleRequest(request, response);
    };
    // Every method goes the same way; HEAD reaches the GET handler.
    http_->Get(".*", handler).Post(".*", handler).Put(".*", handler).Delete(".*", handler);
    http_->Options(".*", handler).Patch(".*", handler);
    const std::string host = config_.BindAddress.empty() ? "0.0.0.0" : config_.BindAddress;
    port_ = http_->Bind(host, port);
    if (port_ <= 0) {
      LogFmt(LMTERROR, LMDALL, kSource, "Init: cannot listen on %1:%2: %3", {host, port, http_->BindError()});
      return false;
    }
    listener_ = std::thread([this] {
      http_->ListenAfterBind();
      listenEnded_ = true;
    });
    // A stop() before the loop runs would be missed and the join would hang.
    while (!http_->is_running() && !listenEnded_) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    if (!http_->is_running()) return false;
    sampler_.Start();
    return true;
  } catch (const std::exception& e) {
    LogCaught(kSource, "Init", e);
    return false;
  }
}

bool TWebInterface::Tls() const { return http_ && http_->Tls(); }

bool TWebInterface::ReloadTls() {
  if (!Tls()) return false;
  std::string fault;
  if (!http_->LoadTls(config_.TlsCertificate, config_.TlsKey, fault)) {
    LogFmt(LMTERROR, LMDALL, kSource, "TLS certificate not reloaded, the one in use stays: %1", {fault});
    return false;
  }
  Log(LMTALL, LMDINFO, kSource, "TLS certificate reloaded from " + config_.TlsCertificate);
  return true;
}

size_t TWebInterface::Connections() const { return http_ ? http_->ActiveConnections() : 0; }

std::string TWebInterface::Now() const { return FormatDateTime(config_.DateTimeFormat, clock_->Now()); }

void TWebInterface::HTTPServerSessionStart(TWebSession& session) {
  try {
    session.Set("StartTime", Now());
  } catch (const std::exception& e) {
    LogCaught(kSource, "HTTPServerSessionStart", e);
  }
}

void TWebInterface::HandleRequest(const httplib::Request& request, httplib::Response& response) {
  if (request.path == kMetricsPath) {
    ServeMetrics(request, response);
    return;
  }
  TWebSessionRef session;
  if (HasCookie(request, kCookieName)) {
    session = sessions_.Find(CookieValue(request, kCookieName));
    if (!session) {
      // A dead session: the request goes unanswered, and the browser is
      // told to drop the cookie so that its next request starts afresh.
      response.status = 200;
      SetCookie(request, response, "", true);
      return;
    }
  } else {
    session = sessions_.Create(ClientAddress(request));
    HTTPServerSessionStart(*session);
  }
  const std::string id = session->Id();
  TWebRequest r{request, response, session};
  HTTPServerCommandGet(r);
  // The session may have been ended or given a new id on the way.
  const std::string now = session->Id();
  if (!sessions_.Find(now))
    SetCookie(request, response, "", true);
  else if (now != id || !HasCookie(request, kCookieName))
    SetCookie(request, response, now, false);
}

std::string TWebInterface::InsideDocs(const std::string& path) const {
  std::error_code ec;
  std::string canon = fs::weakly_canonical(fs::absolute(path, ec), ec).string();
  // A name the file system refuses (too long, say) names no file: the
  // boundary is then judged on the name alone.
  if (ec) canon = fs::absolute(path).lexically_normal().string();
  if (canon == docsCanon_ || (canon.size() > docsCanon_.size() && canon.compare(0, docsCanon_.size(), docsCanon_) == 0 &&
                              canon[docsCanon_.size()] == '/'))
    return canon;
  return "";
}

void TWebInterface::HTTPServerCommandGet(TWebRequest& r) {
  try {
    const std::string& document = r.Request.path;
    // Scripts, styles and images come with every page; their lines would
    // bury the ones that tell what the operator did.
    static constexpr std::string_view kStatic[] = {".css", ".js", ".png", ".ico", ".svg", ".gif", ".jpg", ".woff2"};
    const bool staticFile = std::any_of(std::begin(kStatic), std::end(kStatic), [&](std::string_view ext) {
      return document.size() >= ext.size() && SameText(std::string_view(document).substr(document.size() - ext.size()), ext);
    });
    uint32_t suppressed = 0;
    const bool logLine = !staticFile && requestLines_.Allow(suppressed);
    if (suppressed) LogFmt(LMTALL, LMDINFO, kSource, "Session: %1 request lines not logged", {suppressed});
    if (logLine)
      LogFmt(LMTALL, LMDINFO, kSource, "Session: Document requested: %1, User: %2, Pw: %3, P: %4",
             {document, r.Session->Get("username"), MaskSecret(r.Session->Get("credential")),
              r.Session->Get("serverport")});
    // Nothing of the interface may be shown again from the cache: after a
    // log-out, Back must not bring the administrator's pages back.
    r.Response.set_header("Cache-Control", "no-store");
    if (!r.Session->LoggedIn()) {
      if (MayRunWithoutLogin(document))
        Progress_COMMAND(document, r);
      else
        Progress_FILE(docs_ + "/login.html", r);
      return;
    }
    if (!RecheckSessionLogin(r)) {
      // A session that no longer passes is over: it is logged out and the
      // login page says why, instead of refusing every request until the
      // session times out.
      int32_t port = 0;
      TServerListObject* list = GetServerList();
      const TServerRef server = TIniFile::ParseInteger(Trim(r.Session->Get("serverport")), port) && list
                                    ? list->FindServerByPort(port)
                                    : nullptr;
      EndLogin(r, server && !TServerAccess(server).RunningID().empty() ? kNoticeRights : kNoticeStopped);
      r.Response.set_redirect("login.html", 302);
      THttpServer::CloseAfterResponse(r.Response);
      return;
    }
    r.LoggedIn = true;
    THttpServer::MarkOperator();
    if (Lower(document).rfind("/session", 0) == 0) {
      ServeVirtualFolder(r);
      return;
    }
    if (document.find('\0') != std::string::npos) {
      SendStatusPage(r.Response, 400);
      return;
    }
    std::string file = docs_ + document;
    std::error_code ec;
    const std::string trimmed = Trim(document);
    if (trimmed == "/" || trimmed == "\\") {
      file = docs_ + "/index.html";
    } else if (!fs::is_regular_file(file, ec) && fs::is_directory(file, ec) &&
               fs::is_regular_file(file + "/index.html", ec)) {
      file += "/index.html";
    }
    const std::string inside = InsideDocs(file);
    if (inside.empty()) {
      SendAccessDenied(r.Response);
      SendStyledStatus(r, 403, "Access denied", "You do not have sufficient priviligies to access this document.",
                       r.Response.body);
      return;
    }
    const std::string ext = Lower(fs::path(inside).extension().string());
    bool handled = false;
    const std::string name = fs::path(inside).filename().string();
    if (ext.find(".htm") != std::string::npos && IsPageFragment(name)) {
      SendStatusPage(r.Response, 404);
      SendStyledStatus(r, 404, "Not Found", "There is no page of that name here.", r.Response.body);
      return;
    }
    if (ext.find(".htm") != std::string::npos &&
        IsBareMessageBox(name, [&](std::string_view param) { return r.Param(param); })) {
      // A box opened again later (a bookmark, Back) has nothing to say.
      r.Response.set_redirect("index.html", 302);
      return;
    }
    if (ext.find(".htm") != std::string::npos)
      handled = Progress_FILE(inside, r);
    else if (ext.find(".plcmd") != std::string::npos)
      handled = Progress_COMMAND(document, r);
    if (handled) return;
    if (fs::is_regular_file(inside, ec)) {
      ServePlainFile(inside, r);
    } else {
      SendStatusPage(r.Response, 404);
      SendStyledStatus(r, 404, "Not Found", "There is no page of that name here.", r.Response.body);
    }
  } catch (const std::exception& e) {
    LogCaught(kSource, "HTTPServerCommandGet", e);
  }
}

void TWebInterface::ServePlainFile(const std::string& file, TWebRequest& r) {
  std::error_code ec;
  const auto size = static_cast<size_t>(fs::file_size(file, ec));
  if (ec) {
    SendStatusPage(r.Response, 404);
    return;
  }
  r.Response.status = 200;
  if (SameText(r.Request.method, "HEAD")) {
    // The library sends the headers of a provider without calling it.
    r.Response.set_content_provider(size, GetMIMEType(file), [](size_t, size_t, httplib::DataSink&) { return false; });
    return;
  }
  auto in = std::make_shared<std::ifstream>(file, std::ios::binary);
  r.Response.set_content_provider(size, GetMIMEType(file),
                                  [in](size_t offset, size_t length, httplib::DataSink& sink) {
                                    char buf[16384];
                                    in->seekg(static_cast<std::streamoff>(offset));
                                    in->read(buf, static_cast<std::streamsize>(std::min(length, sizeof buf)));
                                    const auto got = in->gcount();
                                    return got > 0 && sink.write(buf, static_cast<size_t>(got));
                                  });
}

// A wrong token counts in the login throttle like a wrong password, so the
// token cannot be guessed faster than an account's password; a request
// without the header (a browser that wandered here) counts nothing.
bool TWebInterface::MayScrape(const httplib::Request& request) {
  constexpr std::string_view kScheme = "Bearer ";
  constexpr std::string_view kAccount = "metrics scrape";
  if (config_.MetricsToken.empty() || request.method != "GET" || !request.has_header("Authorization")) return false;
  const std::string given = request.get_header_value("Authorization");
  TLoginThrottle& throttle = ProcessLoginThrottle();
  if (!throttle.MayTry(ClientAddress(request), kAccount, kSource)) return false;
  const bool right = given.size() > kScheme.size() && SameText(given.substr(0, kScheme.size()), kScheme) &&
                     SameSecret(std::string_view(given).substr(kScheme.size()), config_.MetricsToken);
  if (right)
    throttle.Succeeded(ClientAddress(request), kAccount);
  else
    throttle.Failed(ClientAddress(request), kAccount);
  return right;
}

void TWebInterface::ServeMetrics(const httplib::Request& request, httplib::Response& response) {
  try {
    // Refused exactly as a page that does not exist, so the page is not seen to be there.
    if (!MayScrape(request)) {
      SendStatusPage(response, 404);
      return;
    }
    std::vector<TServerSnapshot> servers;
    if (TServerListObject* list = GetServerList())
      for (const auto& [id, server] : list->GetServerIDList()) {
        TServerSnapshot view = TServerAccess(server).Snapshot(TSnapshotParts::Totals);
        if (view.Running) servers.push_back(std::move(view));
      }
    TProcessFigures process;
    if (config_.ProcessFigures) config_.ProcessFigures(process);
    process.WebSessions = sessions_.Count();
    process.ResidentBytes = ResidentMemoryBytes();
    process.LogLinesLost = LogLinesLost();
    response.status = 200;
    response.set_content(MetricsText(servers, process), kMetricsContentType);
  } catch (const std::exception& e) {
    LogCaught(kSource, "ServeMetrics", e);
    SendStatusPage(response, 404);
  }
}

std::string TWebInterface::GetMIMEType(std::string_view fileName) const {
  try {
    return mime_.Get(fileName);
  } catch (const std::exception& e) {
    LogCaught(kSource, "GetMIMEType", e);
    return TMimeTypes::kDefaultType;
  }
}

std::unique_ptr<TClientObject> TWebInterface::IsSuperServerAdmin(const TAccountCheck& check) {
  TServerListObject* list = GetServerList();
  if (!list) return nullptr;
  // A snapshot, so no database read happens under the list's lock.
  for (const auto& [id, server] : list->GetServerIDList())
    if (auto account = check(id, PlayerPrivileges::SuperServerAdmin)) return account;
  return nullptr;
}

bool TWebInterface::CheckSessionAccount(std::string_view port, const TAccountCheck& check, TWebRequest& r) {
  port = port.substr(0, kCredentialLength);
  std::string serverId;
  std::string credential;
  bool super = false;
  int32_t portNumber = 0;
  const std::string portText = Trim(port);
  const auto parsed = std::from_chars(portText.data(), portText.data() + portText.size(), portNumber);
  TServerListObject* list = GetServerList();
  const TServerRef server = parsed.ec == std::errc() && parsed.ptr == portText.data() + portText.size() && list
                                ? list->FindServerByPort(portNumber)
                                : nullptr;
  const std::string id = server ? RunningId(server) : std::string();
  if (!id.empty()) {
    std::unique_ptr<TClientObject> account = IsSuperServerAdmin(check);
    if (!account) account = check(id, PlayerPrivileges::ServerAdmin | PlayerPrivileges::SuperServerAdmin);
    if (account) {
      super = (account->PlayerPrivileges & PlayerPrivileges::SuperServerAdmin) != 0;
      serverId = id;
      credential = account->StoredPassword;
    }
  }
  // The values change together, so a concurrent request of the same
  // session never sees the one without the other.
  r.Session->With([&](TSessionValues& v) {
    v.Set("serverid", serverId);
    v.Set("superadmin", super ? "1" : "0");
    v.Set("credential", credential);
    return true;
  });
  r.ServerID = serverId;
  r.SuperAdmin = super;
  return !serverId.empty();
}

bool TWebInterface::CheckSessionLogin(std::string_view loginName, std::string_view password, std::string_view port,
                                      TWebRequest& r) {
  loginName = loginName.substr(0, kCredentialLength);
  password = password.substr(0, kCredentialLength);
  return CheckSessionAccount(
      port,
      [&](const std::string& id, uint16_t rights) { return LoginAccount(loginName, id, password, false, rights); },
      r);
}

bool TWebInterface::RecheckSessionLogin(TWebRequest& r) {
  std::string loginName, stamp, port;
  r.Session->With([&](TSessionValues& v) {
    loginName = v.Get("username").substr(0, kCredentialLength);
    stamp = v.Get("credential");
    port = v.Get("serverport");
    return true;
  });
  // The stored password read at login stands for the password itself: a
  // changed password or changed rights no longer match, and no request
  // pays for a hash.
  const bool passed = CheckSessionAccount(
      port,
      [&](const std::string& id, uint16_t rights) -> std::unique_ptr<TClientObject> {
        auto account = GetUser(loginName, id, false);
        if (account && (account->PlayerPrivileges & rights) && SameStoredPassword(*account, stamp)) return account;
        return nullptr;
      },
      r);
  if (!passed)
    ProcessLoginThrottle().Failed(ClientAddress(r.Request), WebThrottleKey(port, loginName));
  return passed;
}

void TWebInterface::SendAccessDenied(httplib::Response& response) {
  response.status = 403;
  response.set_content(
      "<html><head><title>Error</title></head><body><h1>Access denied</h1>\r"
      "You do not have sufficient priviligies to access this document.</body></html>",
      "text/HTML");
  THttpServer::CloseAfterResponse(response);
}

void TWebInterface::ServeVirtualFolder(TWebRequest& r) {
  try {
    std::string page = "<html><head><title>Virtual folder</title></head><body>";
    if (SameText(r.Param("action"), "close")) {
      sessions_.End(r.Session);
      // Relative links: behind a proxy the interface may live under a path.
      page += "<h1>Session cleared</h1><p><a href=\"sessions\">Back</a></p>";
    } else {
      const std::string name = r.Param("ParamName");
      if (IsServerSessionValue(name))
        page += "<p>The session value " + HtmlEscape(name) + " is the server's own and cannot be set here.</p>";
      else if (!name.empty())
        r.Session->Set(name, r.Param("Param"));
      const std::string id = r.Session->Id();
      r.Session->With([&](TSessionValues& v) {
        page += "<h1>Session informations</h1><table border=1>";
        page += "<tr><td>SessionID</td><td>" + HtmlEscape(id) + "</td></tr>";
        page += "<tr><td>Number of page requested during this session</td><td>" + HtmlEscape(v.Get("NumViews")) +
                "</td></tr>";
        page += "<tr><td>Session data (raw)</td><td><pre>";
        for (const auto& [n, value] : v.List())
          page += HtmlEscape(n) + "=" +
                  HtmlEscape(SameText(n, "credential") || SameText(n, kPasswordProof) ? MaskSecret(value) : value) +
                  "\r\n";
        page += "</pre></td></tr>";
        return true;
      });
      page +=
          "</table><h1>Tools:</h1><h2>Add new parameter</h2><form method=\"POST\">"
          "<p>Name: <input type=\"text\" Name=\"ParamName\"></p>"
          "<p>value: <input type=\"text\" Name=\"Param\"></p>"
          "<p><input type=\"Submit\"><input type=\"reset\"></p></form><h2>Other:</h2>";
      const std::string& path = r.Request.path;
      page += "<p><a href=\"" + HtmlEscape(path.substr(path.rfind('/') + 1)) +
              "?action=close\">Close current session</a></p>";
    }
    page += "</body></html>";
    SendGenerated(r.Request, r.Response, std::move(page), "text/HTML");
  } catch (const std::exception& e) {
    LogCaught(kSource, "ServeVirtualFolder", e);
  }
}

TServerRef TWebInterface::SelectedServer(TWebRequest& r) {
  TServerListObject* list = GetServerList();
  const TServerRef server = list && !r.ServerID.empty() ? list->FindServerByID(r.ServerID) : nullptr;
  return server && TServerAccess(server).Running() ? server : nullptr;
}
