// Text helpers of the web interface: HTML escaping of every value put into a
// page, percent-encoding of values put into a URL, the check that keeps the
// message boxes' links on this site, the date-time text of the pages and the
// masking of secrets in the log. Callers: the templates, the commands and
// the routing of TWebInterface.
//
// Thread-safety: pure functions.
#pragma once

#include <string>
#include <string_view>

#include "common/Clock.h"

// & < > " ' become entities; everything else (bytes of the single-byte code
// page included) passes unchanged.
std::string HtmlEscape(std::string_view text);
// Every byte outside A-Z a-z 0-9 - . _ ~ becomes %XX, so the value survives
// a query string whole ("&", "#", "+" and blanks included).
std::string UrlEncode(std::string_view text);
// `url` when it is a link within this site (no scheme, not protocol-relative),
// else "index.html": a crafted message-box link cannot lead the
// administrator to another site or run script.
std::string SameSiteUrl(std::string_view url);
// A timestamp in a format of "d", "dd", "m", "mm", "yy", "yyyy", "h", "hh",
// "n", "nn", "s", "ss" (letters in any case); other characters are copied.
std::string FormatDateTime(std::string_view format, TDateTime value);
// What the log shows of a password: "***" for any non-empty one.
std::string MaskSecret(std::string_view secret);
