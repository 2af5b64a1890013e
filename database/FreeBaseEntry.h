// The entries of the in-memory database tree: one root, inner nodes, and the
// value kinds integer, string, binary, float and wide string. TFreeBase
// (database/FreeBase.h) and the file loader build the tree; callers walk it
// with FirstChild()/Next() while they hold the database lock.
//
// Ownership: a container owns its children. Destroying an entry unlinks it
// from its parent's list and destroys its children first to last; destroy
// entries only through TFreeBase::DeleteEntry, never the root.
// Thread-safety: none of its own; every use happens under the lock of the
// TFreeBase that owns the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <type_traits>
#include <unordered_map>
#include <vector>

#include "database/Extended80.h"

// The type tag, in memory and in the file.
enum class TFBEntryType : uint8_t { Root = 0, Node = 1, Integer = 2, String = 3, Binary = 4, Float = 5, WideString = 6 };
inline constexpr uint8_t kFBLastEntryType = 6;

class TFBContainer;

class TFBEntry {
 public:
  virtual ~TFBEntry();
  TFBEntry(const TFBEntry&) = delete;
  TFBEntry& operator=(const TFBEntry&) = delete;

  TFBEntryType EntryType() const { return type_; }
  const std::string& Name() const { return name_; }
  // The previous sibling; for the first child of a list, the parent itself.
  TFBEntry* Prev() const { return prev_; }
  TFBEntry* Next() const { return next_; }
  TFBContainer* Parent() const { return parent_; }
  bool IsContainer() const { return type_ == TFBEntryType::Root || type_ == TFBEntryType::Node; }

  // Kept per entry, 0 for what this server creates; loaded and saved unchanged.
  uint32_t Reserved = 0;

 protected:
  TFBEntry(TFBEntryType type, std::string name) : name_(std::move(name)), type_(type) {}
  std::string name_;

 private:
  friend class TFBContainer;
  const TFBEntryType type_;
  TFBContainer* parent_ = nullptr;
  TFBEntry* prev_ = nullptr;
  TFBEntry* next_ = nullptr;
};

// Root and nodes: an ordered child list. Children stay in creation order;
// two siblings may share a name when their kinds differ. Long lists get a
// name index so that a lookup among thousands of accounts stays cheap.
class TFBContainer : public TFBEntry {
 public:
  ~TFBContainer() override;

  TFBEntry* FirstChild() const { return first_; }
  TFBEntry* LastChild() const { return last_; }
  size_t ChildCount() const { return count_; }

  // The first child of kind `type` whose name equals `name`, letters A to Z
  // compared without regard to case and every other byte exactly; or none.
  TFBEntry* FindChild(std::string_view name, TFBEntryType type) const;
  // Appends a new, empty child of kind `type` (any kind but Root). For the
  // loader and TFreeBase, which keep the tree within kFBMaxDepth.
  TFBEntry* AddChild(TFBEntryType type, std::string name);

 protected:
  using TFBEntry::TFBEntry;

 private:
  friend class TFBEntry;
  using TIndex = std::unordered_map<std::string, TFBEntry*>;  // key -> first child with it
  static constexpr size_t kIndexFrom = 32;                     // lists shorter than this are scanned

  void Unlink(TFBEntry* child);
  void BuildIndex();

  TFBEntry* first_ = nullptr;
  TFBEntry* last_ = nullptr;
  size_t count_ = 0;
  std::unique_ptr<TIndex> index_;
};

class TFBRoot final : public TFBContainer {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::Root;
  explicit TFBRoot(std::string name = {}) : TFBContainer(Kind, std::move(name)) {}
  // The root is nobody's child, so only its name may change (the database name).
  void SetName(std::string name) { name_ = std::move(name); }
};

class TFBNode final : public TFBContainer {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::Node;

 private:
  friend class TFBContainer;
  explicit TFBNode(std::string name) : TFBContainer(Kind, std::move(name)) {}
};

class TFBInteger final : public TFBEntry {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::Integer;
  int32_t Value = 0;

 private:
  friend class TFBContainer;
  explicit TFBInteger(std::string name) : TFBEntry(Kind, std::move(name)) {}
};

// 8-bit characters of the server's single-byte code page, any length.
class TFBString final : public TFBEntry {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::String;
  std::string Value;

 private:
  friend class TFBContainer;
  explicit TFBString(std::string name) : TFBEntry(Kind, std::move(name)) {}
};

class TFBBinary final : public TFBEntry {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::Binary;
  std::vector<uint8_t> Data;
  int32_t Size() const { return static_cast<int32_t>(Data.size()); }

 private:
  friend class TFBContainer;
  explicit TFBBinary(std::string name) : TFBEntry(Kind, std::move(name)) {}
};

class TFBFloat final : public TFBEntry {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::Float;
  TExtended80 Value;

 private:
  friend class TFBContainer;
  explicit TFBFloat(std::string name) : TFBEntry(Kind, std::move(name)) {}
};

// UTF-16 characters.
class TFBWideString final : public TFBEntry {
 public:
  static constexpr TFBEntryType Kind = TFBEntryType::WideString;
  std::u16string Value;

 private:
  friend class TFBContainer;
  explicit TFBWideString(std::string name) : TFBEntry(Kind, std::move(name)) {}
};

// `entry` as the class of its kind, or none when the kind differs.
template <class T>
T* EntryAs(TFBEntry* entry) {
  if (!entry) return nullptr;
  if constexpr (std::is_same_v<T, TFBContainer>) {
    return entry->IsContainer() ? static_cast<T*>(entry) : nullptr;
  } else {
    return entry->EntryType() == T::Kind ? static_cast<T*>(entry) : nullptr;
  }
}

// Path names compare equal without regard to the case of A to Z only.
bool SameEntryName(std::string_view a, std::string_view b);
