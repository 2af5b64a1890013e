#include "admin/FormText.h"

#include <algorithm>
#include <cctype>

#include "admin/WebText.h"

namespace {

// The length of the numeric character reference at `at` ("&#321;"), 0 for none.
size_t ReferenceAt(std::string_view text, size_t at) {
  if (text.compare(at, 2, "&#") != 0) return 0;
  size_t i = at + 2;
  const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
  if (hex) ++i;
  const size_t digitsFrom = i;
  while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) ||
                             (hex && std::isxdigit(static_cast<unsigned char>(text[i])))))
    ++i;
  return i > digitsFrom && i < text.size() && text[i] == ';' ? i + 1 - at : 0;
}

}  // namespace

bool HoldsCharacterReference(std::string_view text) {
  for (size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 1))
    if (ReferenceAt(text, at)) return true;
  return false;
}

std::string HtmlEscapeKeepingReferences(std::string_view text) {
  std::string out;
  for (size_t at = 0; at < text.size();) {
    const size_t n = ReferenceAt(text, at);
    const size_t next = n ? at + n : std::min(text.find("&#", at + 1), text.size());
    out += n ? std::string(text.substr(at, n)) : HtmlEscape(text.substr(at, next - at));
    at = next;
  }
  return out;
}

std::string UnstorableTextMessage(std::string_view label) {
  return std::string(label) +
         " holds characters the server cannot store: it keeps texts in the Western European code page "
         "(windows-1252). Nothing was changed.";
}
