// Process-wide variables: the version, the file paths, the settings of
// server.ini and the service objects. Start-up writes them before it starts
// any thread; afterwards they are only read (the service pointers are
// atomics, cleared by shutdown before their objects go away).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

struct TServerVersion {
  uint16_t Major, Minor, Release, Build;
};
inline constexpr TServerVersion ServerVersion{2, 0, 18, 25};
std::string ServerVersionText();  // "2.0.18.25"

// Five characters, shown after the version everywhere it appears.
extern std::string PlatformName;
// The public server list's post endpoint (46 characters).
extern std::string DefaultPostUrl;

// Command line.
extern std::string IniFileName, DbFileName, LogFileName, PidFileName, AdminPassword, HttpDocsDir;
// -REPAIR: a database file that does not load is moved aside and the server
// goes on with what could be read from it.
extern bool RepairDatabase;

// "Main Config" and "WebPost" of server.ini.
extern int32_t HTTPServerPort;
extern bool HTTPServerEnabled;
extern bool ExternalIPDetection;
// The page that tells the server its public address ("IP=..." lines); empty:
// no external lookup, whatever ExternalIPDetection says.
extern std::string ExternalIPLookupURL;
extern std::string DateTimeFormat;
extern int32_t TCPQueryPort;
extern std::string BoundToIp;
// Empty: the web interface has no metrics page; else the bearer token a scraper presents.
extern std::string MetricsToken;
// The web port's TLS files (both set: https only), the proxies whose
// forwarded headers are believed, and the interface's public address.
extern std::string HTTPServerTLSCertificate, HTTPServerTLSKey, HTTPServerTrustedProxies, HTTPServerPublicURL;
// The most registered accounts one virtual server may hold.
extern int32_t MaxAccountsPerServer;
extern std::string AdminEmail, ISPLinkURL, ISPName, ISPCountry;
extern bool WebPostEnabled;
extern std::string PostUrl;

// Proxy settings for the external-address lookup; fixed, not read from a file.
extern bool ProxyBasicAuthentication;
extern std::string ProxyServer;
extern int32_t ProxyPort;
extern std::string ProxyUsername, ProxyPassword;

// Service objects, none while absent. Their types arrive with their services.
class TWebInterface;
class TTCPQuery;
class TWebPost;
extern std::atomic<TWebInterface*> WebInterface;
extern std::atomic<TTCPQuery*> TCPQuery;
extern std::atomic<TWebPost*> WebPost;
