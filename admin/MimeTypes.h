// TMimeTypes: content types by file extension for the files the web
// interface serves. Filled from the system's table (/etc/mime.types) with a
// small built-in table underneath, so the usual web files have a type even
// where the system table is missing. Created once by TWebInterface::Init.
//
// Thread-safety: filled before use, then only read.
#pragma once

#include <string>
#include <string_view>
#include <unordered_map>

class TMimeTypes {
 public:
  static constexpr const char* kDefaultType = "application/octet-stream";

  // The built-in table, then every entry of `systemTable` (a missing file
  // leaves the built-in table alone).
  explicit TMimeTypes(const std::string& systemTable = "/etc/mime.types");

  // The type for the file's extension (letter case ignored); kDefaultType
  // when it has none or an unknown one.
  std::string Get(std::string_view fileName) const;
  size_t Count() const { return types_.size(); }

 private:
  void LoadTable(const std::string& fileName);
  std::unordered_map<std::string, std::string> types_;  // lower-case extension without "."
};
