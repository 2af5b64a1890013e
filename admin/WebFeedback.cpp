#include "admin/WebFeedback.h"

#include <charconv>

#include "admin/WebText.h"
#include "common/LoginThrottle.h"
#include "common/TextFormat.h"
#include "common/ClientObject.h"

std::string LoginNoticeText(std::string_view reason) {
  if (reason == kNoticeFailed)
    return "The login name or password is wrong, or the account may not administer that server.";
  if (reason == kNoticeLoggedOut) return "You have logged out";
  if (reason == kNoticeRights) return "You were logged out: your rights changed. Log in again if you still may.";
  if (reason == kNoticeStopped) return "You were logged out: that server is not running.";
  if (reason == kNoticeThrottled)
    return "There were too many failed login attempts. Nothing was checked: try again later.";
  if (reason == kNoticeBusy)
    return "Another login of this account or from this address is being checked. Nothing was checked: try again "
           "in a moment.";
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

std::string WebThrottleKey(std::string_view port, std::string_view loginName) {
  const std::string text = Trim(std::string(port));
  uint32_t number = 0;
  const auto parsed = std::from_chars(text.data(), text.data() + text.size(), number);
  const bool isPort = parsed.ec == std::errc() && parsed.ptr == text.data() + text.size() && number <= 65535;
  // Any text that names no port logs in nowhere: one key holds all of them.
  return AccountThrottleKey(isPort ? "web port " + std::to_string(number) : std::string("web port none"), loginName);
}
