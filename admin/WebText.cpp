#include "admin/WebText.h"

#include <cctype>
#include <cstdio>

std::string HtmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 8);
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&#39;"; break;
      default: out += c;
    }
  }
  return out;
}

std::string UrlEncode(std::string_view text) {
  static const char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(text.size() * 3);
  for (char c : text) {
    const auto b = static_cast<unsigned char>(c);
    if (std::isalnum(b) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[b >> 4];
      out += kHex[b & 15];
    }
  }
  return out;
}

std::string SameSiteUrl(std::string_view url) {
  // A scheme is letters before a ":" that comes ahead of any "/", "?" or "#";
  // browsers skip blanks and control characters in front of it, and treat
  // "\" like "/".
  size_t start = 0;
  while (start < url.size() && static_cast<unsigned char>(url[start]) <= ' ') ++start;
  const std::string_view rest = url.substr(start);
  const size_t stop = rest.find_first_of("/?#\\");
  const bool hasScheme = rest.substr(0, stop).find(':') != std::string_view::npos;
  const bool protocolRelative = rest.size() >= 2 && (rest[0] == '/' || rest[0] == '\\') &&
                                (rest[1] == '/' || rest[1] == '\\');
  if (hasScheme || protocolRelative) return "index.html";
  return std::string(url);
}

std::string FormatDateTime(std::string_view format, TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  std::string out;
  char buf[16];
  for (size_t i = 0; i < format.size();) {
    const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(format[i])));
    size_t run = 1;
    while (i + run < format.size() && std::tolower(static_cast<unsigned char>(format[i + run])) == c) ++run;
    int number = -1;
    switch (c) {
      case 'd': number = p.Day; break;
      case 'm': number = p.Month; break;
      case 'y': number = run >= 4 ? p.Year : p.Year % 100; break;
      case 'h': number = p.Hour; break;
      case 'n': number = p.Minute; break;
      case 's': number = p.Second; break;
      default: break;
    }
    if (number < 0) {
      out.append(format.substr(i, run));
    } else {
      std::snprintf(buf, sizeof buf, run >= 2 ? (c == 'y' && run >= 4 ? "%04d" : "%02d") : "%d", number);
      out += buf;
    }
    i += run;
  }
  return out;
}

std::string MaskSecret(std::string_view secret) { return secret.empty() ? "" : "***"; }
