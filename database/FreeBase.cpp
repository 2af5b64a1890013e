#include "database/FreeBase.h"

#include <exception>

#include "common/CaughtLog.h"
#include "common/Log.h"

namespace {

// The name a new database carries until start-up names it.
constexpr const char* kNewDatabaseName = "unbenannt";

// Names in a path that starts with a name: runs of separators count as one.
int ComponentCount(std::string_view path) {
  int count = 0;
  for (size_t i = 0; i < path.size(); ++i)
    if (path[i] != '\\' && (i == 0 || path[i - 1] == '\\')) ++count;
  return count;
}

}  // namespace

const char* FreeBaseErrorText(int code) {
  switch (code) {
    case FreeBaseError::None: return "no failure";
    case FreeBaseError::ActiveUnchanged: return "state unchanged";
    case FreeBaseError::NoFileName: return "no file name";
    case FreeBaseError::CannotCreate: return "file cannot be created";
    case FreeBaseError::SaveFailed: return "save failed";
    case FreeBaseError::InvalidFile: return "file unreadable or not a valid database";
    case FreeBaseError::NotActive: return "database not active";
    default: return "unknown failure";
  }
}

TFreeBase::TFreeBase(TFBStorage& storage, TClock* clock) : storage_(storage), clock_(clock ? clock : SystemClock()) {}

TFreeBase::~TFreeBase() {
  std::lock_guard guard(mutex_);
  if (active_) Deactivate();
}

bool TFreeBase::Active() const {
  std::lock_guard guard(mutex_);
  return active_;
}

void TFreeBase::SetActive(bool value) {
  std::lock_guard guard(mutex_);
  if (value == active_) {
    lastError_ = FreeBaseError::ActiveUnchanged;
  } else if (value) {
    Activate();
  } else {
    Deactivate();
  }
  ReportError();
}

std::string TFreeBase::FileName() const {
  std::lock_guard guard(mutex_);
  return fileName_;
}

void TFreeBase::SetFileName(std::string fileName) {
  std::lock_guard guard(mutex_);
  if (!active_) fileName_ = std::move(fileName);
}

TFBOpenFlag TFreeBase::OpenFlag() const {
  std::lock_guard guard(mutex_);
  return openFlag_;
}

void TFreeBase::SetOpenFlag(TFBOpenFlag flag) {
  std::lock_guard guard(mutex_);
  if (!active_) openFlag_ = flag;
}

std::string TFreeBase::DatabaseName() const {
  std::lock_guard guard(mutex_);
  return root_ ? root_->Name() : std::string();
}

void TFreeBase::SetDatabaseName(std::string name) {
  std::lock_guard guard(mutex_);
  if (root_) root_->SetName(std::move(name));
}

int64_t TFreeBase::CurrentFileSize() const {
  std::lock_guard guard(mutex_);
  return currentFileSize_;
}

int TFreeBase::LastError() const {
  std::lock_guard guard(mutex_);
  return lastError_;
}

void TFreeBase::SetLastError(int code) {
  std::lock_guard guard(mutex_);
  lastError_ = code;
}

void TFreeBase::SetOnError(TErrorEvent handler) {
  std::lock_guard guard(mutex_);
  onError_ = std::move(handler);
}

// ---- typed values -------------------------------------------------------------

bool TFreeBase::WriteInteger(std::string_view path, int32_t value) {
  std::lock_guard guard(mutex_);
  TFBInteger* e = FindValue<TFBInteger>(path, true);
  if (e) e->Value = value;
  return e != nullptr;
}

int32_t TFreeBase::ReadInteger(std::string_view path, int32_t def) {
  std::lock_guard guard(mutex_);
  const TFBInteger* e = FindValue<TFBInteger>(path, false);
  return e ? e->Value : def;
}

bool TFreeBase::WriteString(std::string_view path, std::string_view value) {
  std::lock_guard guard(mutex_);
  TFBString* e = FindValue<TFBString>(path, true);
  if (e) e->Value.assign(value);
  return e != nullptr;
}

std::string TFreeBase::ReadString(std::string_view path, std::string_view def) {
  std::lock_guard guard(mutex_);
  const TFBString* e = FindValue<TFBString>(path, false);
  return e ? e->Value : std::string(def);
}

bool TFreeBase::WriteFloat(std::string_view path, double value) {
  std::lock_guard guard(mutex_);
  TFBFloat* e = FindValue<TFBFloat>(path, true);
  if (e) e->Value = TExtended80::FromDouble(value);
  return e != nullptr;
}

double TFreeBase::ReadFloat(std::string_view path, double def) {
  std::lock_guard guard(mutex_);
  const TFBFloat* e = FindValue<TFBFloat>(path, false);
  return e ? e->Value.ToDouble() : def;
}

void TFreeBase::CreateNode(std::string_view path) {
  std::lock_guard guard(mutex_);
  Find(path, TFBEntryType::Node, true);
}

// ---- tree access ------------------------------------------------------------------

TFBEntry* TFreeBase::GetEntry(const TLock& lock, std::string_view path, TFBEntryType kind) {
  if (!lock.Holds(*this)) return nullptr;
  if (kind == TFBEntryType::Root) return root_.get();
  return Find(path, kind, false);
}

TFBEntry* TFreeBase::FindPath(const TLock& lock, std::string_view path, TFBEntryType kind, bool create) {
  if (!lock.Holds(*this) || kind == TFBEntryType::Root) return nullptr;
  return Find(path, kind, create);
}

bool TFreeBase::DeleteEntry(const TLock& lock, TFBEntry* entry) {
  if (!lock.Holds(*this) || !entry || entry == root_.get()) return false;
  delete entry;  // unlinks itself from its parent
  return true;
}

TFBEntry* TFreeBase::Find(std::string_view path, TFBEntryType kind, bool create) {
  if (!root_) return nullptr;
  const size_t start = path.find_first_not_of('\\');
  if (start == std::string_view::npos || path.back() == '\\') return nullptr;
  path.remove_prefix(start);
  if (ComponentCount(path) > kFBMaxDepth) return nullptr;  // before anything is created
  TFBContainer* at = root_.get();
  for (;;) {
    const size_t separator = path.find('\\');
    const std::string_view name = path.substr(0, separator);
    const TFBEntryType want = separator == std::string_view::npos ? kind : TFBEntryType::Node;
    TFBEntry* found = at->FindChild(name, want);
    if (!found && create) found = at->AddChild(want, std::string(name));
    if (!found || separator == std::string_view::npos) return found;
    at = static_cast<TFBContainer*>(found);
    // The path does not end in "\", so a component follows the separators.
    path.remove_prefix(path.find_first_not_of('\\', separator));
  }
}

// ---- the file -----------------------------------------------------------------------

void TFreeBase::Activate() {
  lastError_ = FreeBaseError::None;
  if (fileName_.empty()) {
    lastError_ = FreeBaseError::NoFileName;
  } else if (storage_.Exists(fileName_)) {
    if (!Load()) lastError_ = FreeBaseError::InvalidFile;
  } else if (openFlag_ == TFBOpenFlag::CreateNotExists && !storage_.CreateEmpty(fileName_)) {
    lastError_ = FreeBaseError::CannotCreate;
  } else {
    // A new database lives in memory only until its first save.
    fileGood_ = false;
    header_ = TFBHeader{};
    header_.Created = header_.LastSaved = clock_->Now();
    root_ = std::make_unique<TFBRoot>(kNewDatabaseName);
    currentFileSize_ = 0;
  }
  active_ = lastError_ == FreeBaseError::None || salvaged_;
}

void TFreeBase::Deactivate() {
  lastError_ = Save() ? FreeBaseError::None : FreeBaseError::SaveFailed;
  root_.reset();
  currentFileSize_ = 0;
  active_ = false;
}

bool TFreeBase::Load() {
  loadFault_.clear();
  salvaged_ = false;
  fileGood_ = false;
  try {
    std::string image;
    if (!storage_.ReadAll(fileName_, image)) {
      loadFault_ = "the file cannot be read";
      return false;
    }
    TFBSalvage read = SalvageFreeBase(image);
    loadFault_ = std::move(read.Fault);
    if (!loadFault_.empty() && !salvage_) return false;
    header_ = read.Header;
    if (read.Root) {
      root_ = std::move(read.Root);
    } else {  // not even the header was usable: an empty database
      root_ = std::make_unique<TFBRoot>(kNewDatabaseName);
      header_.Created = header_.LastSaved = clock_->Now();
    }
    currentFileSize_ = static_cast<int64_t>(image.size());
    salvaged_ = !loadFault_.empty();
    fileGood_ = !salvaged_;
    return loadFault_.empty();
  } catch (const std::exception&) {
    loadFault_ = "the file is too large to load";  // out of memory
    return false;
  }
}

std::string TFreeBase::LoadFault() const {
  std::lock_guard guard(mutex_);
  return loadFault_;
}

void TFreeBase::SetSalvage(bool value) {
  std::lock_guard guard(mutex_);
  salvage_ = value;
}

bool TFreeBase::Save() {
  if (!active_ || openFlag_ == TFBOpenFlag::ReadOnly) return false;
  try {
    const TDateTime now = clock_->Now();
    const std::string image = SerialiseFreeBase(header_, *root_, now);
    // The file being replaced is kept when it is one this database loaded
    // whole or wrote itself; a damaged or empty one never takes the place
    // of the last good copy. Without a copy the save goes on all the same.
    if (fileGood_ && !storage_.KeepBackup(fileName_)) {
      if (backupKept_)
        LogFmt(LMTWARNING, LMDIMPORTANT, "SERVER", "Database file %1: the previous copy cannot be kept as %2",
               {fileName_, BackupFileName(fileName_)});
      backupKept_ = false;
    } else if (fileGood_) {
      backupKept_ = true;
    }
    if (!storage_.Replace(fileName_, image)) return false;
    fileGood_ = true;
    header_.LastSaved = now;
    currentFileSize_ = static_cast<int64_t>(image.size());
    return true;
  } catch (const std::exception& e) {
    // Out of memory or a failing disk: reported as SaveFailed by the caller.
    LogCaught("SERVER", "TFreeBase.Save", e);
    return false;
  }
}

bool TFreeBase::Flush() {
  std::lock_guard guard(mutex_);
  bool saved = false;
  if (!active_) {
    lastError_ = FreeBaseError::NotActive;
  } else {
    saved = Save();
    lastError_ = saved ? FreeBaseError::None : FreeBaseError::SaveFailed;
    if (!saved) currentFileSize_ = storage_.Size(fileName_);
  }
  ReportError();
  return saved;
}

void TFreeBase::ReportError() {
  if (lastError_ == FreeBaseError::None || !onError_) return;
  int code = lastError_;
  onError_(*this, code);
  lastError_ = code;
}
