// TFBStorage: the few file operations TFreeBase needs, behind an interface
// so that tests can put a storage underneath that fails where they want.
// DiskStorage() is the real one.
//
// The disk storage never rewrites the database file in place: a save goes to
// a new file beside it ("<file>.tmp", created exclusively and never through
// a link), which is forced to disk and then renamed over the old one. A
// crash or a full disk at any moment therefore leaves either the old file or
// the new one, both complete. Before a save replaces a good file, TFreeBase
// asks for it to be kept as "<file>.bak" (a second name for the same file).
//
// Thread-safety: DiskStorage() is stateless and safe from any thread; the
// callers of one file (one TFreeBase) are serialised by that TFreeBase's lock.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

class TFBStorage {
 public:
  virtual ~TFBStorage() = default;
  virtual bool Exists(const std::string& fileName) = 0;
  // Creates the file empty; false when it cannot.
  virtual bool CreateEmpty(const std::string& fileName) = 0;
  // The whole content; false when the file cannot be opened or read.
  virtual bool ReadAll(const std::string& fileName, std::string& content) = 0;
  // Makes `content` the file's content in one step. On false the previous
  // file is unchanged.
  virtual bool Replace(const std::string& fileName, std::string_view content) = 0;
  // Size in bytes; 0 when the file does not exist.
  virtual int64_t Size(const std::string& fileName) = 0;
  // Makes the file as it is now BackupFileName(fileName) as well, in place
  // of any earlier one; false when it cannot (the file is left alone).
  virtual bool KeepBackup(const std::string& fileName) = 0;
};

TFBStorage& DiskStorage();

// The name of the new file that a disk save writes before renaming it.
std::string ReplacementFileName(const std::string& fileName);
// The name under which the file before the last save is kept ("<file>.bak").
std::string BackupFileName(const std::string& fileName);
