#include "common/Log.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "common/IniFile.h"

std::atomic<TLogObject*> Logger{nullptr};

namespace {

constexpr const char* kTypeTokens[] = {"LMTDEBUG", "LMTWARNING", "LMTERROR", "LMTALL"};
constexpr const char* kTypeTexts[] = {"DEBUG", "WARNING", "ERROR", "ALL"};
constexpr const char* kDepthTokens[] = {"LMDIMPORTANT", "LMDALL", "LMDUSEFULL",
                                        "LMDPROCEDUREINFO", "LMDCOMMANDS", "LMDINFO"};
constexpr const char* kDepthTexts[] = {"Important", "All", "Usefull", "ProcedureInfo", "Commands", "Info"};
const std::string kDashRow(63, '-');

std::atomic<uint64_t> linesLost{0};

void CountLostLine() { linesLost.fetch_add(1, std::memory_order_relaxed); }

}  // namespace

uint64_t LogLinesLost() { return linesLost.load(std::memory_order_relaxed); }

const char* LogTypeText(TLogMessageType type) { return type <= LMTALL ? kTypeTexts[type] : "?"; }
const char* LogDepthText(TLogMessageDepth depth) { return depth <= LMDINFO ? kDepthTexts[depth] : "?"; }

// ---- TLogObject ---------------------------------------------------------

bool TLogObject::IsLogged(TLogMessageType type, TLogMessageDepth depth) const {
  if (!(Types & (1u << type)) && !(Types & (1u << LMTALL))) return false;
  if (Depths & (1u << LMDALL)) return true;
  return (Depths & (1u << depth)) != 0;
}

void TLogObject::LoadSettings(const std::string& iniFileName, std::string_view section) {
  TIniFile ini(iniFileName);
  if (ini.ReadString(section, "MessageTypes", "").empty()) {
    try {
      ini.WriteString(section, "MessageTypes", "LMTALL");
      ini.WriteString(section, "MessageDepths", "LMDALL");
    } catch (const EIniFile&) {
      // The settings file cannot be written: log everything, so that the
      // start-up that fails over the same file can still say why.
      Types = 1u << LMTALL;
      Depths = 1u << LMDALL;
      return;
    }
  }
  // A token anywhere in the upper-cased value selects it, whatever separates them.
  Types = 0;
  const std::string types = UpperCase(ini.ReadString(section, "MessageTypes", ""));
  for (unsigned i = 0; i < 4; ++i)
    if (types.find(kTypeTokens[i]) != std::string::npos) Types |= static_cast<uint8_t>(1u << i);
  Depths = 0;
  const std::string depths = UpperCase(ini.ReadString(section, "MessageDepths", ""));
  for (unsigned i = 0; i < 6; ++i)
    if (depths.find(kDepthTokens[i]) != std::string::npos) Depths |= static_cast<uint8_t>(1u << i);
}

// Callers build Log's message from whatever they have (names, addresses,
// exception texts), so all of it counts as outside text.
void TLogObject::Log(TLogMessageType type, TLogMessageDepth depth, std::string_view source,
                     std::string_view msg) {
  if (!IsLogged(type, depth)) return;
  const std::string safe = LogSafeText(msg);
  WriteLine(safe, source, type, depth);
  Mirror(type, source, safe);
}

void TLogObject::LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view source,
                        std::string_view msg, TFmtArgs args, bool journal) {
  if (!IsLogged(type, depth)) return;
  const std::string text = FormatArgs(msg, args, LogSafeText);
  WriteLine(text, source, type, depth);
  if (journal) Mirror(type, source, text);
}

void TLogObject::Mirror(TLogMessageType type, std::string_view source, std::string_view msg) const {
  if (!JournalMirror || (type != LMTWARNING && type != LMTERROR)) return;
  std::string text(source.substr(0, kMaxSourceLength));
  text += ": ";
  text += msg;
  WriteJournalLine(type == LMTERROR ? 3 : 4, text);
}

// ---- TLogFile -----------------------------------------------------------

TLogFile::~TLogFile() {
  try {
    Close();
  } catch (...) {
    // A destructor must not throw; a failing disk at exit loses the banner.
    CountLostLine();
  }
}

bool TLogFile::OpenFile() {
  if (file_) {
    std::fclose(file_);
    file_ = nullptr;
  }
  // Append mode creates a missing file, closed to others whatever the umask:
  // the log may hold a first administrator password. A file that is there
  // keeps its mode. Truncating is the fallback for a file that exists but
  // cannot be appended to.
  for (const int mode : {O_APPEND, O_TRUNC}) {
    const int fd = ::open(FileName.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | mode, 0600);
    if (fd < 0) continue;
    file_ = ::fdopen(fd, mode == O_APPEND ? "ab" : "wb");
    if (file_) break;
    ::close(fd);
  }
  return file_ != nullptr;
}

bool TLogFile::EnsureOpen() { return file_ != nullptr || OpenFile(); }

std::string TLogFile::Stamp(const char* format) const {
  const TDateParts p = DecodeDateTime(clock_->Now());
  char buf[32];
  if (format[0] == 's')
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d:%02d", p.Day, p.Month, p.Year % 100, p.Hour,
                  p.Minute, p.Second);
  else
    std::snprintf(buf, sizeof buf, "%02d-%02d-%02d %02d:%02d", p.Day, p.Month, p.Year % 100, p.Hour, p.Minute);
  return buf;
}

void TLogFile::PutLine(const std::string& line) {
  const bool ok = std::fwrite(line.data(), 1, line.size(), file_) == line.size();
  if (!ok || std::fflush(file_) != 0) {
    // Reopen on the next call: the disk may come back.
    const int err = errno;
    std::fclose(file_);
    file_ = nullptr;
    throw std::runtime_error(std::string("log write failed: ") + std::strerror(err));
  }
}

void TLogFile::WriteLine(std::string_view msg, std::string_view source, TLogMessageType type,
                         TLogMessageDepth depth) {
  std::string line = Stamp("s");
  line.reserve(line.size() + msg.size() + 48);
  line += ',';
  line += LogTypeText(type);
  line += ',';
  line += LogDepthText(depth);
  line += ',';
  line += source.substr(0, kMaxSourceLength);
  line += ",\t";
  line += msg;
  line += "\r\n";
  std::lock_guard<std::mutex> lock(mutex_);
  if (!EnsureOpen()) return;
  PutLine(line);
}

void TLogFile::Open() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!EnsureOpen()) return;
  PutLine(kDashRow + "\r\n" + "-------------- log started at " + Stamp("m") + " -------------\r\n" + kDashRow +
          "\r\n");
}

void TLogFile::Close() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!EnsureOpen()) return;
  PutLine(kDashRow + "\r\n" + "--------------- log ended at " + Stamp("m") + " --------------\r\n" + kDashRow +
          "\r\n");
  std::fclose(file_);
  file_ = nullptr;
}

void TLogFile::Reopen() {
  std::lock_guard<std::mutex> lock(mutex_);
  OpenFile();
}

void TLogFile::LogMemory() { WriteLine(" !!! LogMemory not supported yet !!!", "", LMTDEBUG, LMDALL); }

// ---- outside text and the journal -------------------------------------------

std::string LogSafeText(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < ' ' || c == 0x7F) c = '?';
  return out;
}

bool StderrIsJournal() {
  const char* stream = std::getenv("JOURNAL_STREAM");
  if (!stream) return false;
  unsigned long long dev = 0, ino = 0;
  if (std::sscanf(stream, "%llu:%llu", &dev, &ino) != 2) return false;
  struct stat st {};
  if (fstat(STDERR_FILENO, &st) != 0) return false;
  return static_cast<unsigned long long>(st.st_dev) == dev && static_cast<unsigned long long>(st.st_ino) == ino;
}

void WriteJournalLine(int priority, std::string_view text) {
  std::string line = "<" + std::to_string(priority) + ">";
  line.reserve(line.size() + text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      line += " / ";
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;  // CR LF is one break
    } else {
      line += static_cast<unsigned char>(c) < ' ' || c == 0x7F ? '?' : c;
    }
  }
  line += '\n';
  // One write per event, so that lines from several threads stay whole.
  for (size_t done = 0; done < line.size();) {
    const ssize_t n = ::write(STDERR_FILENO, line.data() + done, line.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;  // a closed stderr loses the copy; server.log has the line
    done += static_cast<size_t>(n);
  }
}

// ---- global logger ----------------------------------------------------------

void InitLog(const std::string& iniFileName, std::string_view section, const std::string& logFileName) {
  // "tcphost" would select the viewer sink; this build always logs to the file.
  (void)Trim(TIniFile(iniFileName).ReadString(section, "tcphost", ""));
  auto* sink = new TLogFile();
  sink->FileName = logFileName;
  sink->LoadSettings(iniFileName, section);
  sink->JournalMirror = StderrIsJournal();
  sink->Open();
  TLogObject* old = Logger.exchange(sink);
  delete old;
}

void DoneLog() {
  TLogObject* old = Logger.exchange(nullptr);
  delete old;
}

void ReopenLog() {
  if (TLogObject* l = Logger.load(std::memory_order_acquire)) l->Reopen();
  Log(LMTALL, LMDINFO, "server", "Log file reopened");
}

// A log line that cannot be written (full disk) is lost rather than failing
// the operation that logged it: a relay or a login must not stop over it.
void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg) {
  if (TLogObject* l = Logger.load(std::memory_order_acquire)) {
    try {
      l->Log(type, depth, source, msg);
    } catch (const std::exception&) {
      CountLostLine();
    }
  }
}

namespace {

void LogFmtTo(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg,
              TFmtArgs args, bool journal) {
  if (TLogObject* l = Logger.load(std::memory_order_acquire)) {
    try {
      l->LogFmt(type, depth, source, msg, args, journal);
    } catch (const std::exception&) {
      CountLostLine();
    }
  }
}

}  // namespace

void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg,
            TFmtArgs args) {
  LogFmtTo(type, depth, source, msg, args, true);
}

void LogFmtFileOnly(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg,
                    TFmtArgs args) {
  LogFmtTo(type, depth, source, msg, args, false);
}
