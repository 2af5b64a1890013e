// Test support: a database file opened read-only, to look at what a run or
// a save left on disk. Active exactly when the file loaded.
#pragma once

#include <string>

#include "database/FreeBase.h"

struct TStoredDatabase {
  TFreeBase db;
  explicit TStoredDatabase(const std::string& file, TFBStorage& storage = DiskStorage()) : db(storage) {
    db.SetFileName(file);
    db.SetOpenFlag(TFBOpenFlag::ReadOnly);
    db.SetActive(true);
  }
};
