#include "app/Globals.h"

#include "database/Accounts.h"

std::string ServerVersionText() {
  return std::to_string(ServerVersion.Major) + "." + std::to_string(ServerVersion.Minor) + "." +
         std::to_string(ServerVersion.Release) + "." + std::to_string(ServerVersion.Build);
}

std::string PlatformName;
std::string DefaultPostUrl;

std::string IniFileName, DbFileName, LogFileName, PidFileName, AdminPassword, HttpDocsDir;
bool RepairDatabase = false;

int32_t HTTPServerPort = 14534;
bool HTTPServerEnabled = true;
bool ExternalIPDetection = true;
std::string ExternalIPLookupURL;
std::string DateTimeFormat = "dd-mm-yyyy hh:nn:ss";
int32_t TCPQueryPort = 51234;
std::string BoundToIp;
std::string MetricsToken;
std::string HTTPServerTLSCertificate, HTTPServerTLSKey, HTTPServerTrustedProxies, HTTPServerPublicURL;
int32_t MaxAccountsPerServer = kDefaultMaxAccountsPerServer;
std::string AdminEmail = "na", ISPLinkURL = "na", ISPName = "Private", ISPCountry = "Earth";
bool WebPostEnabled = true;
std::string PostUrl;

bool ProxyBasicAuthentication = false;
std::string ProxyServer;
int32_t ProxyPort = 8080;
std::string ProxyUsername, ProxyPassword;

std::atomic<TWebInterface*> WebInterface{nullptr};
std::atomic<TTCPQuery*> TCPQuery{nullptr};
std::atomic<TWebPost*> WebPost{nullptr};
