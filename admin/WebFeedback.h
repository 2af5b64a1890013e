// What the web interface tells the operator besides the message boxes: the
// notice on the login page (why the operator is there: a failed login, a
// log-out, a session that had to end), an account's rights in words, and
// the way back to a refused form with its input. Used by the routing, the
// templates and the commands of TWebInterface.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

// The proof of the password a session's login verified (password_hash::Proof).
inline constexpr const char* kPasswordProof = "passwordproof";
// The session value that carries a login notice to the next login page.
inline constexpr const char* kLoginNoticeValue = "LOGIN_NOTICE";
// The reasons a login page is shown with.
inline constexpr const char* kNoticeFailed = "failed";
inline constexpr const char* kNoticeLoggedOut = "loggedout";
inline constexpr const char* kNoticeRights = "rights";
inline constexpr const char* kNoticeStopped = "stopped";
inline constexpr const char* kNoticeThrottled = "throttled";
inline constexpr const char* kNoticeBusy = "busy";

// The login throttle's name key of a web login: the accounts behind the
// port, named by its number however the form wrote it ("014534" is 14534),
// so that no spelling of the port buys a name a second allowance.
std::string WebThrottleKey(std::string_view port, std::string_view loginName);

// The sentence for a reason; empty for an unknown one.
std::string LoginNoticeText(std::string_view reason);
// The login page's notice element for a reason; empty for none.
std::string LoginNoticeHtml(std::string_view reason);
// "server admin", "super server admin", both joined by ", ", or "none".
std::string AccountRightsText(uint16_t privileges);
// "page?name=value&..." with each value percent-encoded; pairs with an
// empty value are left out unless `keepEmpty`.
std::string PageUrl(std::string_view page, std::initializer_list<std::pair<const char*, std::string_view>> values,
                    bool keepEmpty = false);
