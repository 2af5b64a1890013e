#include "admin/MimeTypes.h"

#include <cctype>
#include <fstream>
#include <sstream>

namespace {

std::string Lower(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

const std::pair<const char*, const char*> kBuiltIn[] = {
    {"html", "text/html"},       {"htm", "text/html"},        {"css", "text/css"},
    {"js", "text/javascript"},   {"txt", "text/plain"},       {"png", "image/png"},
    {"gif", "image/gif"},        {"jpg", "image/jpeg"},       {"jpeg", "image/jpeg"},
    {"ico", "image/x-icon"},     {"svg", "image/svg+xml"},    {"json", "application/json"},
    {"xml", "application/xml"},  {"pdf", "application/pdf"},  {"zip", "application/zip"},
};

}  // namespace

TMimeTypes::TMimeTypes(const std::string& systemTable) {
  for (const auto& [ext, type] : kBuiltIn) types_[ext] = type;
  LoadTable(systemTable);
}

// Lines of "type ext ext ...", "#" starts a comment.
void TMimeTypes::LoadTable(const std::string& fileName) {
  std::ifstream in(fileName);
  std::string line;
  while (std::getline(in, line)) {
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.resize(hash);
    std::istringstream words(line);
    std::string type, ext;
    if (!(words >> type)) continue;
    while (words >> ext) types_[Lower(ext)] = type;
  }
}

std::string TMimeTypes::Get(std::string_view fileName) const {
  const size_t slash = fileName.find_last_of('/');
  const size_t dot = fileName.find_last_of('.');
  if (dot == std::string_view::npos || (slash != std::string_view::npos && dot < slash)) return kDefaultType;
  const auto it = types_.find(Lower(fileName.substr(dot + 1)));
  return it == types_.end() ? kDefaultType : it->second;
}
