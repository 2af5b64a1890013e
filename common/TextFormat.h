// Text helpers shared by the logger and the rest of the server: the "%1".."%n"
// argument formatting and the pattern replacement it is built on.
//
// Thread-safety: pure functions.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <type_traits>

// One formatting argument: a number (written in decimal) or a text.
class TFmtArg {
 public:
  TFmtArg(const char* s) : text_(s ? s : "") {}
  TFmtArg(std::string s) : text_(std::move(s)) {}
  TFmtArg(std::string_view s) : text_(s) {}
  template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
  TFmtArg(T v) : text_(FromIntegral(v)) {}
  TFmtArg(double v);
  const std::string& Text() const { return text_; }

 private:
  template <typename T>
  static std::string FromIntegral(T v) {
    if constexpr (std::is_same_v<T, bool>) {
      return v ? "True" : "False";
    } else if constexpr (std::is_signed_v<T>) {
      return std::to_string(static_cast<long long>(v));
    } else {
      return std::to_string(static_cast<unsigned long long>(v));
    }
  }
  std::string text_;
};

using TFmtArgs = std::initializer_list<TFmtArg>;

enum TReplaceFlag : uint8_t { rfReplaceAll = 1, rfIgnoreCase = 2 };

// Replaces `pattern` in `text`. Matching ignores the case of ASCII letters
// whatever the flags say; without rfReplaceAll only the first match goes. An
// empty replacement deletes every exact-case occurrence first. The text ends
// at its first NUL.
void ReplaceText(std::string& text, std::string_view pattern, std::string_view replacement, uint8_t flags);

// Replaces "%i" by argument i for i = 1..n in ascending order. "%10" is
// therefore consumed by argument 1 followed by "0" when there are ten or
// more arguments; callers keep to nine.
std::string FormatArgs(std::string_view format, TFmtArgs args);
// The same with each argument's text passed through `clean` first (the
// logger neutralises outside text this way, leaving the format as written).
std::string FormatArgs(std::string_view format, TFmtArgs args, std::string (*clean)(std::string_view));

// "hh:mm:ss", or "<d>D hh:mm:ss" from one day on.
std::string FormatUptime(uint32_t seconds);

std::string UpperCase(std::string_view s);  // ASCII letters only
std::string Trim(std::string_view s);       // blanks and control characters at both ends
bool SameText(std::string_view a, std::string_view b);  // ASCII case-insensitive equality
