#include "admin/WebFeedback.h"

#include "admin/WebText.h"
#include "common/ClientObject.h"

std::string LoginNoticeText(std::string_view reason) {
  if (reason == kNoticeFailed)
    return "The login name or password is wrong, or the account may not administer that server.";
  if (reason == kNoticeLoggedOut) return "You have logged out";
  if (reason == kNoticeRights) return "You were logged out: your rights changed. Log in again if you still may.";
  if (reason == kNoticeStopped) return "You were logged out: that server is not running.";
  if (reason == kNoticeThrottled)
    return "There were too many failed login attempts. Nothing was checked: try again later.";
  return "";
}

std::string LoginNoticeHtml(std::string_view reason) {
  const std::string text = LoginNoticeText(reason);
  if (text.empty()) return "";
  const bool plain = reason == kNoticeLoggedOut;
  return std::string("<p class=\"notice") + (plain ? " ok" : "") + "\" id=\"login-notice\" role=\"status\">" +
         HtmlEscape(text) + "</p>";
}

std::string AccountRightsText(uint16_t privileges) {
  std::string text;
  if (privileges & PlayerPrivileges::ServerAdmin) text = "server admin";
  if (privileges & PlayerPrivileges::SuperServerAdmin) text += std::string(text.empty() ? "" : ", ") + "super server admin";
  return text.empty() ? "none" : text;
}

std::string PageUrl(std::string_view page, std::initializer_list<std::pair<const char*, std::string_view>> values,
                    bool keepEmpty) {
  std::string url(page);
  char separator = '?';
  for (const auto& [name, value] : values) {
    if (value.empty() && !keepEmpty) continue;
    url += separator;
    url += name;
    url += '=';
    url += UrlEncode(value);
    separator = '&';
  }
  return url;
}
