// TStateLock: one process per state folder. Start-up takes it on the folder
// of the database file before it opens, writes or removes any file there
// (log, settings, database, PID file); a second process started on the same
// folder finds it held, learns the holder's process id and stops without
// touching anything. Shutdown lets it go last.
//
// The lock is an flock() on "parleon-server.lock" in that folder, which holds
// the holder's process id as text; the kernel drops it when the holder ends,
// however it ends, so a stale file never blocks a start.
// Called by start-up and shutdown on the main thread; not thread-safe.
#pragma once

#include <string>

class TStateLock {
 public:
  TStateLock() = default;
  ~TStateLock() { Release(); }
  TStateLock(const TStateLock&) = delete;
  TStateLock& operator=(const TStateLock&) = delete;

  // The lock file's name for the state of `dbFileName` (beside it).
  static std::string LockFileFor(const std::string& dbFileName);

  // Takes the lock on the folder of `dbFileName`. False with `fault` set
  // when it cannot: held by another process ("in use by process 1234"), or
  // the system's reason. `holder` receives the holder's id when known (0 otherwise).
  bool Acquire(const std::string& dbFileName, std::string& fault, long& holder);
  void Release();
  bool Held() const { return fd_ >= 0; }
  // After a failed Acquire: another process holds the lock (it may be on
  // its way out), rather than the folder or file being unusable.
  bool Busy() const { return busy_; }

 private:
  int fd_ = -1;
  bool busy_ = false;
};
