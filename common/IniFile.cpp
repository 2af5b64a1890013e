#include "common/IniFile.h"

#include <sys/stat.h>

#include <fstream>
#include <mutex>
#include <optional>

#include "common/FileReplace.h"
#include "common/TextFormat.h"

namespace {

// One lock for every profile file of the process: the files are small and
// touched rarely, and a single lock makes every read-modify-write atomic.
std::mutex& IniLock() {
  static std::mutex lock;
  return lock;
}

// The file as lines; a section is a header line and the lines up to the next.
struct TIniLine {
  std::string Raw;      // the line as it stands in the file (no line end)
  std::string Section;  // for a header: the section name
  std::string Key;      // for a key line: the key, trimmed
  std::string Value;    // for a key line: everything after the first '='
  enum { Other, Header, Entry } Kind = Other;
};

// `forWrite`: the lines are about to be written back, so a file that exists
// but cannot be read raises: taken as empty, the write would replace every
// setting in it with the one key being written.
std::vector<TIniLine> Load(const std::string& fileName, bool forWrite = false) {
  std::vector<TIniLine> lines;
  std::ifstream in(fileName, std::ios::binary);
  if (!in) {
    struct stat st;
    if (forWrite && ::stat(fileName.c_str(), &st) == 0) throw EIniFile("cannot read " + fileName);
    return lines;
  }
  std::string raw;
  while (std::getline(in, raw)) {
    if (!raw.empty() && raw.back() == '\r') raw.pop_back();
    TIniLine line;
    line.Raw = raw;
    const std::string t = Trim(raw);
    if (t.size() >= 2 && t.front() == '[' && t.back() == ']') {
      line.Kind = TIniLine::Header;
      line.Section = Trim(std::string_view(t).substr(1, t.size() - 2));
    } else if (!t.empty() && t[0] != ';' && t[0] != '#' && t.find('=') != std::string::npos) {
      const size_t eq = raw.find('=');
      line.Kind = TIniLine::Entry;
      line.Key = Trim(std::string_view(raw).substr(0, eq));
      line.Value = raw.substr(eq + 1);
    }
    lines.push_back(std::move(line));
  }
  if (forWrite && in.bad()) throw EIniFile("cannot read " + fileName);
  return lines;
}

// The new content replaces the old file whole (common/FileReplace.h): a
// crash or a full disk leaves either the old or the new file, never half of
// one. There is no rewriting in place: when the new file cannot be made, the
// write fails and the old file stands.
// The new file is created 0600 whatever the umask (it may hold passwords)
// and then takes the mode and, where the process may set it, the owner of
// the file it replaces: an operator who closed it to others must not find
// it open again after a rewrite, nor one who opened it find it closed.
void Save(const std::string& fileName, const std::vector<TIniLine>& lines) {
  std::string data;
  for (const TIniLine& l : lines) {
    data += l.Raw;
    data += "\r\n";
  }
  std::string fault;
  if (!ReplaceFile(fileName, data, 0600, true, fault)) throw EIniFile("cannot write " + fileName + ": " + fault);
}

// Index of the header line of `section`, or -1.
long FindSection(const std::vector<TIniLine>& lines, std::string_view section) {
  for (size_t i = 0; i < lines.size(); ++i)
    if (lines[i].Kind == TIniLine::Header && SameText(lines[i].Section, section)) return static_cast<long>(i);
  return -1;
}

// One past the last line of the section starting at `header`.
size_t SectionEnd(const std::vector<TIniLine>& lines, long header) {
  size_t i = static_cast<size_t>(header) + 1;
  while (i < lines.size() && lines[i].Kind != TIniLine::Header) ++i;
  return i;
}

long FindKey(const std::vector<TIniLine>& lines, long header, std::string_view key) {
  if (header < 0) return -1;
  const size_t end = SectionEnd(lines, header);
  for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i)
    if (lines[i].Kind == TIniLine::Entry && SameText(lines[i].Key, key)) return static_cast<long>(i);
  return -1;
}

std::optional<std::string> Lookup(const std::string& fileName, std::string_view section, std::string_view key) {
  std::lock_guard<std::mutex> lock(IniLock());
  const auto lines = Load(fileName);
  const long k = FindKey(lines, FindSection(lines, section), key);
  if (k < 0) return std::nullopt;
  std::string v = lines[static_cast<size_t>(k)].Value;
  if (v.size() > TIniFile::kMaxValueLength) v.resize(TIniFile::kMaxValueLength);
  return v;
}

}  // namespace

TIniFile::TIniFile(std::string fileName) : fileName_(std::move(fileName)) {}

bool TIniFile::ParseInteger(std::string_view text, int32_t& value) {
  std::string t = Trim(text);
  if (t.empty()) return false;
  bool neg = false;
  size_t i = 0;
  if (t[0] == '-' || t[0] == '+') {
    neg = t[0] == '-';
    i = 1;
  }
  int base = 10;
  if (t.size() > i + 1 && t[i] == '0' && (t[i + 1] == 'x' || t[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= t.size()) return false;
  int64_t v = 0;
  for (; i < t.size(); ++i) {
    const char c = t[i];
    int d;
    if (c >= '0' && c <= '9') d = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
    else return false;
    v = v * base + d;
    // Hexadecimal may spell the full 32-bit pattern (0xFFFFFFFF is -1).
    if (v > (base == 16 ? int64_t{0xFFFFFFFF} : int64_t{0x80000000})) return false;
  }
  if (neg) v = -v;
  if (base == 10 && (v > INT32_MAX || v < INT32_MIN)) return false;
  value = static_cast<int32_t>(static_cast<uint32_t>(v));
  return true;
}

std::string TIniFile::ReadString(std::string_view section, std::string_view key, std::string_view def) const {
  auto v = Lookup(fileName_, section, key);
  return v ? *v : std::string(def);
}

int32_t TIniFile::ReadInteger(std::string_view section, std::string_view key, int32_t def) const {
  auto v = Lookup(fileName_, section, key);
  int32_t result;
  if (v && ParseInteger(*v, result)) return result;
  return def;
}

bool TIniFile::ReadBool(std::string_view section, std::string_view key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(std::string_view section, std::string_view key, std::string_view value) {
  std::string v(value);
  // A line end in a value would split it into lines of its own.
  for (char& c : v)
    if (c == '\r' || c == '\n') c = ' ';
  std::lock_guard<std::mutex> lock(IniLock());
  auto lines = Load(fileName_, true);
  long header = FindSection(lines, section);
  TIniLine entry;
  entry.Kind = TIniLine::Entry;
  entry.Key = std::string(key);
  entry.Value = v;
  entry.Raw = entry.Key + "=" + v;
  const long k = FindKey(lines, header, key);
  if (k >= 0) {
    entry.Key = lines[static_cast<size_t>(k)].Key;
    entry.Raw = entry.Key + "=" + v;
    // The value is there already: the file is left as it is, so that a
    // settings file that may not be written serves while nothing changes.
    if (lines[static_cast<size_t>(k)].Raw == entry.Raw) return;
    lines[static_cast<size_t>(k)] = std::move(entry);
  } else if (header >= 0) {
    // After the section's last key, before any blank lines that close it.
    size_t at = SectionEnd(lines, header);
    while (at > static_cast<size_t>(header) + 1 && Trim(lines[at - 1].Raw).empty()) --at;
    lines.insert(lines.begin() + static_cast<long>(at), std::move(entry));
  } else {
    if (!lines.empty() && !Trim(lines.back().Raw).empty()) lines.push_back(TIniLine{});
    TIniLine h;
    h.Kind = TIniLine::Header;
    h.Section = std::string(section);
    h.Raw = "[" + h.Section + "]";
    lines.push_back(std::move(h));
    lines.push_back(std::move(entry));
  }
  Save(fileName_, lines);
}

void TIniFile::WriteInteger(std::string_view section, std::string_view key, int32_t value) {
  WriteString(section, key, std::to_string(value));
}

void TIniFile::WriteBool(std::string_view section, std::string_view key, bool value) {
  WriteString(section, key, value ? "1" : "0");
}

bool TIniFile::SectionExists(std::string_view section) const {
  std::lock_guard<std::mutex> lock(IniLock());
  return FindSection(Load(fileName_), section) >= 0;
}

bool TIniFile::ValueExists(std::string_view section, std::string_view key) const {
  return Lookup(fileName_, section, key).has_value();
}

std::vector<std::string> TIniFile::ReadSection(std::string_view section) const {
  std::lock_guard<std::mutex> lock(IniLock());
  const auto lines = Load(fileName_);
  std::vector<std::string> keys;
  const long header = FindSection(lines, section);
  if (header < 0) return keys;
  const size_t end = SectionEnd(lines, header);
  for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i)
    if (lines[i].Kind == TIniLine::Entry) keys.push_back(lines[i].Key);
  return keys;
}

std::vector<std::pair<std::string, std::string>> TIniFile::ReadSectionValues(std::string_view section) const {
  std::lock_guard<std::mutex> lock(IniLock());
  const auto lines = Load(fileName_);
  std::vector<std::pair<std::string, std::string>> values;
  const long header = FindSection(lines, section);
  if (header < 0) return values;
  const size_t end = SectionEnd(lines, header);
  for (size_t i = static_cast<size_t>(header) + 1; i < end; ++i)
    if (lines[i].Kind == TIniLine::Entry)
      values.emplace_back(lines[i].Key, lines[i].Value.substr(0, TIniFile::kMaxValueLength));
  return values;
}

void TIniFile::EraseSection(std::string_view section) {
  std::lock_guard<std::mutex> lock(IniLock());
  auto lines = Load(fileName_, true);
  const long header = FindSection(lines, section);
  if (header < 0) return;
  lines.erase(lines.begin() + header, lines.begin() + static_cast<long>(SectionEnd(lines, header)));
  Save(fileName_, lines);
}

void TIniFile::DeleteKey(std::string_view section, std::string_view key) {
  std::lock_guard<std::mutex> lock(IniLock());
  auto lines = Load(fileName_, true);
  const long k = FindKey(lines, FindSection(lines, section), key);
  if (k < 0) return;
  lines.erase(lines.begin() + k);
  Save(fileName_, lines);
}
