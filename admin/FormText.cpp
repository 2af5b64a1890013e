#include "admin/FormText.h"

#include <cctype>

bool HoldsCharacterReference(std::string_view text) {
  for (size_t at = text.find("&#"); at != std::string_view::npos; at = text.find("&#", at + 1)) {
    size_t i = at + 2;
    const bool hex = i < text.size() && (text[i] == 'x' || text[i] == 'X');
    if (hex) ++i;
    const size_t digitsFrom = i;
    while (i < text.size() && (std::isdigit(static_cast<unsigned char>(text[i])) ||
                               (hex && std::isxdigit(static_cast<unsigned char>(text[i])))))
      ++i;
    if (i > digitsFrom && i < text.size() && text[i] == ';') return true;
  }
  return false;
}

std::string UnstorableTextMessage(std::string_view label) {
  return std::string(label) +
         " holds characters the server cannot store: it keeps texts in the Western European code page "
         "(windows-1252). Nothing was changed.";
}
