#include "common/TextFormat.h"

#include <cstdio>

TFmtArg::TFmtArg(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.15g", v);
  text_ = buf;
}

namespace {

inline char UpChar(char c) { return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c; }

}  // namespace

std::string UpperCase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpChar(c);
  return out;
}

std::string Trim(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && static_cast<unsigned char>(s[b]) <= ' ') ++b;
  while (e > b && static_cast<unsigned char>(s[e - 1]) <= ' ') --e;
  return std::string(s.substr(b, e - b));
}

bool SameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (UpChar(a[i]) != UpChar(b[i])) return false;
  return true;
}

void ReplaceText(std::string& text, std::string_view pattern, std::string_view replacement, uint8_t flags) {
  // The text ends at its first NUL, as a C string would.
  const size_t nul = text.find('\0');
  if (nul != std::string::npos) text.resize(nul);
  if (text.empty() || pattern.empty()) return;
  if (replacement.empty()) {
    // Deletion searches with exact case until nothing is left to delete.
    for (size_t pos; (pos = text.find(pattern)) != std::string::npos;) text.erase(pos, pattern.size());
  }
  const std::string upPattern = UpperCase(pattern);
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    bool match = i + upPattern.size() <= text.size();
    for (size_t k = 0; match && k < upPattern.size(); ++k) match = UpChar(text[i + k]) == upPattern[k];
    if (match) {
      out.append(replacement);
      i += upPattern.size();
      if (!(flags & rfReplaceAll)) {
        out.append(text, i, std::string::npos);
        break;
      }
    } else {
      out.push_back(text[i]);
      ++i;
    }
  }
  text.swap(out);
}

std::string FormatArgs(std::string_view format, TFmtArgs args) { return FormatArgs(format, args, nullptr); }

std::string FormatArgs(std::string_view format, TFmtArgs args, std::string (*clean)(std::string_view)) {
  std::string text(format);
  size_t i = 1;
  for (const TFmtArg& a : args) {
    std::string placeholder(1, '%');
    placeholder += std::to_string(i);
    ReplaceText(text, placeholder, clean ? clean(a.Text()) : a.Text(), rfReplaceAll | rfIgnoreCase);
    ++i;
  }
  return text;
}

std::string FormatUptime(uint32_t seconds) {
  const uint32_t days = seconds / 86400, hours = (seconds / 3600) % 24, minutes = (seconds / 60) % 60,
                 secs = seconds % 60;
  char buf[48];
  if (days > 0)
    std::snprintf(buf, sizeof buf, "%uD %02u:%02u:%02u", days, hours, minutes, secs);
  else
    std::snprintf(buf, sizeof buf, "%02u:%02u:%02u", hours, minutes, secs);
  return buf;
}
