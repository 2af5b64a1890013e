// TFreeBase: the server's tree database. The whole tree lives in memory; the
// file (server.db) is read whole on activation and written whole on every
// Flush and on deactivation. Entries are addressed by paths of names joined
// by "\" ("\Servers\<id>\Users\<login>"). Start-up owns the process-wide
// instance (database/ServerDatabase.h); accounts and channels are its users.
//
// Locking: each TFreeBase has one re-entrant lock, and every public operation
// takes it, so a single call is always safe from any thread. Whoever needs
// several calls to act as one, or walks the tree (GetEntry, FirstChild/Next,
// DeleteEntry), holds a TLock from Lock() for that whole time: the tree
// operations demand it as their first argument, and an entry pointer is
// valid only while that lock is held. The OnError handler runs under the
// lock. Flush holds the lock while it writes the file.
//
// Failures: file problems never raise. They set LastError (FreeBaseError
// codes below) and call OnError; reads then return their default, writes
// false.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>

#include "common/Clock.h"
#include "database/FreeBaseEntry.h"
#include "database/FreeBaseFormat.h"
#include "database/FreeBaseStorage.h"

enum class TFBOpenFlag : uint8_t { ReadWrite = 0, CreateNotExists = 1, ReadOnly = 2 };

// Values of LastError.
namespace FreeBaseError {
inline constexpr int None = 0;
inline constexpr int ActiveUnchanged = 1;  // Active set to the value it had
inline constexpr int NoFileName = 2;       // activated with an empty FileName
inline constexpr int CannotCreate = 3;     // CreateNotExists could not create the file
inline constexpr int SaveFailed = 4;       // Flush or deactivation could not save (always when ReadOnly)
inline constexpr int InvalidFile = 5;      // the file cannot be read or is no valid database
inline constexpr int NotActive = 6;        // Flush while inactive
}  // namespace FreeBaseError

// A short description of a LastError value for log lines.
const char* FreeBaseErrorText(int code);

class TFreeBase {
 public:
  // Holds a database's lock (and, when made from a shared_ptr, keeps the
  // database alive) until it goes out of scope. Empty when default-made.
  class TLock {
   public:
    TLock() = default;
    explicit TLock(TFreeBase& db) : db_(&db), lock_(db.mutex_) {}
    explicit TLock(std::shared_ptr<TFreeBase> db)
        : keepAlive_(std::move(db)), db_(keepAlive_.get()), lock_(db_->mutex_) {}
    TLock(TLock&& other) noexcept
        : keepAlive_(std::move(other.keepAlive_)), db_(std::exchange(other.db_, nullptr)),
          lock_(std::move(other.lock_)) {}
    TLock& operator=(TLock&& other) noexcept {
      lock_ = std::move(other.lock_);  // our lock goes before the database we kept alive
      db_ = std::exchange(other.db_, nullptr);
      keepAlive_ = std::move(other.keepAlive_);
      return *this;
    }

    explicit operator bool() const { return db_ != nullptr; }
    TFreeBase* operator->() const { return db_; }
    TFreeBase& operator*() const { return *db_; }
    bool Holds(const TFreeBase& db) const { return db_ == &db && lock_.owns_lock(); }

   private:
    std::shared_ptr<TFreeBase> keepAlive_;  // declared first: released last
    TFreeBase* db_ = nullptr;
    std::unique_lock<std::recursive_mutex> lock_;
  };

  // The handler may change the code; LastError then holds the changed value.
  using TErrorEvent = std::function<void(TFreeBase& sender, int& errorCode)>;

  // `storage` and `clock` must outlive the database (defaults: the disk, the system clock).
  explicit TFreeBase(TFBStorage& storage = DiskStorage(), TClock* clock = nullptr);
  // Deactivates (and so saves) a database that is still active; no OnError.
  ~TFreeBase();
  TFreeBase(const TFreeBase&) = delete;
  TFreeBase& operator=(const TFreeBase&) = delete;

  TLock Lock() { return TLock(*this); }

  // Activation loads the file (or starts an empty database when it does not
  // exist); deactivation saves, then drops the tree even when the save failed.
  // Setting the value it already has is error 1 and changes nothing.
  bool Active() const;
  void SetActive(bool value);
  // FileName and OpenFlag ignore writes while active.
  std::string FileName() const;
  void SetFileName(std::string fileName);
  TFBOpenFlag OpenFlag() const;
  void SetOpenFlag(TFBOpenFlag flag);
  // The root's name, stored in the header cut to 31 characters. Writes while
  // inactive are ignored; reads while inactive give "".
  std::string DatabaseName() const;
  void SetDatabaseName(std::string name);
  // File size after the last load or flush; 0 while inactive or not yet written.
  int64_t CurrentFileSize() const;
  int LastError() const;
  void SetLastError(int code);
  // What was wrong with the file when the last activation gave error 5
  // ("the file ends early at byte 812"); empty otherwise.
  std::string LoadFault() const;
  // With salvage on, a file that does not load in full still activates the
  // database with every entry read before the fault (error 5 is reported
  // all the same). The caller moves the file aside before the next save,
  // which would write the shortened tree over it. Off by default.
  void SetSalvage(bool value);
  void SetOnError(TErrorEvent handler);
  // The clock that stamps saves; record writers take their timestamps from it too.
  TClock& Clock() const { return *clock_; }

  // Typed values. A write finds or creates the entry of its kind at `path`
  // (with the nodes above it) and is true when written; a read gives the
  // value of the entry of its kind, or `def`. Inactive: false / `def`.
  bool WriteInteger(std::string_view path, int32_t value);
  int32_t ReadInteger(std::string_view path, int32_t def);
  bool WriteString(std::string_view path, std::string_view value);
  std::string ReadString(std::string_view path, std::string_view def);
  bool WriteFloat(std::string_view path, double value);
  double ReadFloat(std::string_view path, double def);
  // Finds or creates the node at `path` and every node above it.
  void CreateNode(std::string_view path);
  // Writes the whole database to the file now. Inactive: false, error 6.
  // The file it replaces is first kept as "<file>.bak" when it was good (it
  // loaded whole, or this database wrote it); a salvaged or new file never
  // takes the place of that copy. Every save ends with a checksum, so a
  // file changed afterwards no longer loads as a valid database.
  bool Flush();

  // ---- tree access: the caller holds `lock` on this database -------------
  // Kind Root gives the root whatever the path; other kinds the existing
  // entry of that kind at `path`, never creating anything. None when
  // inactive, when the path names nothing, or when `lock` is not ours.
  TFBEntry* GetEntry(const TLock& lock, std::string_view path, TFBEntryType kind);
  // The path lookup behind every operation: leading "\" are skipped, runs of
  // "\" count as one, a path ending in "\" (or empty) names nothing, names
  // compare without regard to the case of A to Z, and only an entry of the
  // asked kind matches (inner components: nodes). With `create`, missing
  // nodes and the final entry are appended. Paths deeper than kFBMaxDepth
  // name nothing.
  TFBEntry* FindPath(const TLock& lock, std::string_view path, TFBEntryType kind, bool create);
  // Destroys `entry` with everything below it; the root is refused. The
  // caller flushes afterwards.
  bool DeleteEntry(const TLock& lock, TFBEntry* entry);

 private:
  TFBEntry* Find(std::string_view path, TFBEntryType kind, bool create);
  template <class T>
  T* FindValue(std::string_view path, bool create) {
    return static_cast<T*>(Find(path, T::Kind, create));
  }
  void Activate();
  void Deactivate();
  bool Load();
  bool Save();
  void ReportError();

  mutable std::recursive_mutex mutex_;
  TFBStorage& storage_;
  TClock* clock_;
  bool active_ = false;
  std::string fileName_;
  TFBOpenFlag openFlag_ = TFBOpenFlag::ReadWrite;
  int64_t currentFileSize_ = 0;
  int lastError_ = FreeBaseError::None;
  std::string loadFault_;
  bool salvage_ = false;
  bool salvaged_ = false;
  bool fileGood_ = false;    // the file holds what a clean load or our last save saw
  bool backupKept_ = true;   // the last attempt to keep a copy worked (warn once per failure run)
  TErrorEvent onError_;
  TFBHeader header_;
  std::unique_ptr<TFBRoot> root_;
};
