#include "admin/WebTemplates.h"

#include "admin/WebText.h"
#include "common/TextFormat.h"

namespace {

constexpr std::string_view kInclude = "%%INCLUDE%";
// Markers are short; a "%%" without its closing pair nearby is plain text.
constexpr size_t kMaxMarkerLength = 96;

}  // namespace

std::string ExpandIncludes(std::string text, const TIncludeLoader& load) {
  size_t from = 0;
  for (size_t done = 0; done < kMaxIncludes && text.size() <= kMaxPageLength; ++done) {
    const size_t at = text.find(kInclude, from);
    if (at == std::string::npos) break;
    const size_t nameStart = at + kInclude.size();
    const size_t close = text.find('%', nameStart);
    if (close == std::string::npos) break;
    const std::string name = text.substr(nameStart, close - nameStart);
    text.replace(at, close + 1 - at, load(name));
    // Included text is expanded too: the search goes on where it went in.
    from = at;
  }
  return text;
}

void TMarkers::Text(std::string_view marker, std::string_view value) { values_[UpperCase(marker)] = HtmlEscape(value); }

void TMarkers::Html(std::string_view marker, std::string value) { values_[UpperCase(marker)] = std::move(value); }

void TMarkers::Condition(std::string_view name, bool holds) {
  Html("%!COMMENT_ON_" + std::string(name) + "!%", holds ? "<!--" : "");
  Html("%!COMMENT_OFF_" + std::string(name) + "!%", holds ? "-->" : "");
}


const std::string* TMarkers::Find(std::string_view marker, const TMarkers* outer) const {
  const std::string key = UpperCase(marker);
  auto it = values_.find(key);
  if (it != values_.end()) return &it->second;
  if (outer) {
    it = outer->values_.find(key);
    if (it != outer->values_.end()) return &it->second;
  }
  return nullptr;
}

std::string TMarkers::Expand(std::string_view text, const TMarkers* outer) const {
  std::string out;
  out.reserve(text.size());
  size_t i = 0;
  while (i < text.size()) {
    const size_t pct = text.find('%', i);
    if (pct == std::string_view::npos || pct + 1 >= text.size()) break;
    out.append(text.substr(i, pct - i));
    i = pct;
    const char second = text[pct + 1];
    if (second == '%' || second == '!') {
      const std::string_view closing = second == '%' ? "%%" : "!%";
      const size_t close = text.substr(0, std::min(text.size(), pct + kMaxMarkerLength)).find(closing, pct + 2);
      if (close != std::string_view::npos) {
        if (const std::string* value = Find(text.substr(pct, close + 2 - pct), outer)) {
          out += *value;
          i = close + 2;
          continue;
        }
      }
    }
    out += '%';
    ++i;
  }
  out.append(text.substr(i));
  return out;
}
