// TIniFile: the profile-file layer for server.ini. Section and key names
// match without regard to case; every write reaches the file before the call
// returns; rewriting a key keeps every other section, key and line in place.
//
// Thread-safety: any number of TIniFile objects, on any threads, may use the
// same file. One process-wide lock serialises each read and each
// read-modify-write, so concurrent writers (virtual servers, the TCP query,
// the web interface) never lose each other's updates.
// Errors: a missing or unreadable file reads as empty. A write that cannot
// reach the disk, or that would have to rewrite a file it cannot read,
// raises EIniFile and leaves the file as it was (a new file of a fresh name
// is created exclusively, forced to the disk and renamed over the old one).
// A write of the value a key already has leaves the file untouched.
// Files: a new file is created 0600; a rewrite keeps the replaced file's
// mode and owner.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

class EIniFile : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class TIniFile {
 public:
  static constexpr size_t kMaxValueLength = 2047;

  explicit TIniFile(std::string fileName);

  const std::string& FileName() const { return fileName_; }

  // A missing key yields the default; a value is read as at most 2047 characters.
  std::string ReadString(std::string_view section, std::string_view key, std::string_view def) const;
  // Decimal, or hexadecimal after "0x"/"0X"; anything else yields the default.
  int32_t ReadInteger(std::string_view section, std::string_view key, int32_t def) const;
  // Any integer other than 0 is true; a non-number yields the default.
  bool ReadBool(std::string_view section, std::string_view key, bool def) const;

  void WriteString(std::string_view section, std::string_view key, std::string_view value);
  void WriteInteger(std::string_view section, std::string_view key, int32_t value);
  void WriteBool(std::string_view section, std::string_view key, bool value);  // "1" / "0"

  bool SectionExists(std::string_view section) const;
  bool ValueExists(std::string_view section, std::string_view key) const;
  std::vector<std::string> ReadSection(std::string_view section) const;  // key names in file order
  // Every key of the section with its value, in file order, from one
  // reading of the file (a long list read key by key would read it once
  // per key).
  std::vector<std::pair<std::string, std::string>> ReadSectionValues(std::string_view section) const;
  void EraseSection(std::string_view section);
  void DeleteKey(std::string_view section, std::string_view key);

  // Parses an integer as ReadInteger does; false when the text is no number.
  static bool ParseInteger(std::string_view text, int32_t& value);

 private:
  std::string fileName_;
};
