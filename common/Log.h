// The process-wide logger. Every diagnostic of the server goes through
// Log()/LogFmt(), which pass the message through the filter read from
// server.ini and hand it to the sink, normally TLogFile (server.log).
//
// Outside text cannot forge a line: Log's whole message and every argument
// of LogFmt have their control characters replaced (LogSafeText); only the
// format text of LogFmt, which is the program's own, may break a message
// over lines.
//
// Under systemd (JOURNAL_STREAM naming our standard error) every WARNING and
// ERROR line written also goes to standard error, one event per line, with
// the priority prefix the journal reads ("<4>", "<3>").
//
// Ownership: start-up creates the global Logger with InitLog and shutdown
// destroys it last with DoneLog (which writes the end banner).
// Thread-safety: Log and LogFmt may be called from any thread, also while no
// Logger exists (the message is then dropped). A sink writes each line
// whole: lines from concurrent threads never interleave.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "common/TextFormat.h"

enum TLogMessageType : uint8_t { LMTDEBUG = 0, LMTWARNING = 1, LMTERROR = 2, LMTALL = 3 };
enum TLogMessageDepth : uint8_t {
  LMDIMPORTANT = 0,
  LMDALL = 1,
  LMDUSEFULL = 2,
  LMDPROCEDUREINFO = 3,
  LMDCOMMANDS = 4,
  LMDINFO = 5
};

const char* LogTypeText(TLogMessageType type);     // "DEBUG", "WARNING", "ERROR", "ALL"
const char* LogDepthText(TLogMessageDepth depth);  // "Important" ... "Info"

// Abstract sink. Types and Depths are bit sets (bit n = value n).
class TLogObject {
 public:
  static constexpr size_t kMaxSourceLength = 99;

  virtual ~TLogObject() = default;  // sinks call Close from their own destructors

  // Writes one line unconditionally.
  virtual void WriteLine(std::string_view msg, std::string_view source, TLogMessageType type,
                         TLogMessageDepth depth) = 0;
  virtual void Close() {}
  virtual void Open() = 0;
  // Lets go of the file and opens it again by name, so that a log moved
  // aside (log rotation) is followed by a new one. No banner.
  virtual void Reopen() {}
  void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg);
  // `journal` false keeps the line out of the journal copy (see LogFmtFileOnly).
  void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg,
              TFmtArgs args, bool journal = true);
  virtual void LogMemory() = 0;

  bool IsLogged(TLogMessageType type, TLogMessageDepth depth) const;
  // Reads "MessageTypes"/"MessageDepths" of `section`; an empty "MessageTypes"
  // is replaced in the file by LMTALL and "MessageDepths" by LMDALL.
  void LoadSettings(const std::string& iniFileName, std::string_view section);

  uint8_t Types = 0;
  uint8_t Depths = 0;
  std::string FileName;
  // Copies WARNING and ERROR lines to standard error for the journal.
  bool JournalMirror = false;

 private:
  void Mirror(TLogMessageType type, std::string_view source, std::string_view msg) const;
};

// The file sink: appends "dd-mm-yy hh:nn:ss,TYPE,Depth,Source,<TAB>Msg" CR LF
// and flushes each line. The file opens lazily and is retried on every call
// while it cannot be opened; lines are lost silently meanwhile.
class TLogFile : public TLogObject {
 public:
  explicit TLogFile(TClock* clock = nullptr) : clock_(clock ? clock : SystemClock()) {}
  ~TLogFile() override;
  void WriteLine(std::string_view msg, std::string_view source, TLogMessageType type,
                 TLogMessageDepth depth) override;
  void Close() override;  // end banner, then the file closes
  void Open() override;   // start banner
  void Reopen() override;
  void LogMemory() override;
  virtual bool OpenFile();
  bool Active() const { return file_ != nullptr; }

 private:
  // Callers hold mutex_.
  bool EnsureOpen();
  void PutLine(const std::string& line);
  std::string Stamp(const char* format) const;
  std::mutex mutex_;
  FILE* file_ = nullptr;
  TClock* clock_;
};

// The global logger; none until InitLog.
extern std::atomic<TLogObject*> Logger;

// Creates Logger from the "tcphost" key (the file sink is used whatever it
// holds), loads the filter from `section` and writes the start banner.
void InitLog(const std::string& iniFileName, std::string_view section, const std::string& logFileName);
// Destroys Logger (writing the end banner) and sets it to none.
void DoneLog();
// Reopens the log file (SIGHUP) and logs a line saying so in the new file.
void ReopenLog();

// `text` with every control character (below blank, and DEL) as "?".
std::string LogSafeText(std::string_view text);
// True when standard error is the systemd journal's stream: JOURNAL_STREAM
// holds the device and inode of file descriptor 2 (a child that inherited
// the variable but not the stream does not count).
bool StderrIsJournal();
// One journal line: "<priority>" + `text` with its line breaks as " / "
// and other control characters as "?", written with a single call.
void WriteJournalLine(int priority, std::string_view text);

// Never raise: a line the disk refuses is lost, and counted (LogLinesLost).
void Log(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg);
void LogFmt(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg,
            TFmtArgs args);
// As LogFmt, but never copied to the journal: for a secret that server.log
// (readable by the service's user) may hold and the journal, readable by
// the machine's administrators' group, must not (the first admin password).
void LogFmtFileOnly(TLogMessageType type, TLogMessageDepth depth, std::string_view source, std::string_view msg,
                    TFmtArgs args);
// The lines the log could not write since the process started (a full or
// failing disk): the log cannot report its own failures, so it counts them.
uint64_t LogLinesLost();
