#include "database/FreeBaseEntry.h"

#include <stdexcept>

namespace {

char FoldLetter(char c) { return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c; }

// The index key: the kind, then the name with a..z folded to A..Z.
std::string IndexKey(std::string_view name, TFBEntryType type) {
  std::string key;
  key.reserve(name.size() + 1);
  key.push_back(static_cast<char>(type));
  for (char c : name) key.push_back(FoldLetter(c));
  return key;
}

}  // namespace

bool SameEntryName(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (FoldLetter(a[i]) != FoldLetter(b[i])) return false;
  return true;
}

TFBEntry::~TFBEntry() {
  if (parent_) parent_->Unlink(this);
}

TFBContainer::~TFBContainer() {
  // The children need not unlink one by one from a list that goes anyway.
  TFBEntry* child = first_;
  first_ = last_ = nullptr;
  index_.reset();
  while (child) {
    TFBEntry* next = child->next_;
    child->parent_ = nullptr;
    delete child;
    child = next;
  }
}

TFBEntry* TFBContainer::FindChild(std::string_view name, TFBEntryType type) const {
  if (index_) {
    const auto it = index_->find(IndexKey(name, type));
    return it == index_->end() ? nullptr : it->second;
  }
  for (TFBEntry* e = first_; e; e = e->next_)
    if (e->type_ == type && SameEntryName(e->name_, name)) return e;
  return nullptr;
}

TFBEntry* TFBContainer::AddChild(TFBEntryType type, std::string name) {
  TFBEntry* child = nullptr;
  switch (type) {
    case TFBEntryType::Node: child = new TFBNode(std::move(name)); break;
    case TFBEntryType::Integer: child = new TFBInteger(std::move(name)); break;
    case TFBEntryType::String: child = new TFBString(std::move(name)); break;
    case TFBEntryType::Binary: child = new TFBBinary(std::move(name)); break;
    case TFBEntryType::Float: child = new TFBFloat(std::move(name)); break;
    case TFBEntryType::WideString: child = new TFBWideString(std::move(name)); break;
    case TFBEntryType::Root: throw std::logic_error("a root cannot be a child");
  }
  child->parent_ = this;
  if (last_) {
    child->prev_ = last_;
    last_->next_ = child;
  } else {
    child->prev_ = this;
    first_ = child;
  }
  last_ = child;
  ++count_;
  if (index_) {
    index_->emplace(IndexKey(child->name_, type), child);  // an earlier namesake stays first
  } else if (count_ >= kIndexFrom) {
    BuildIndex();
  }
  return child;
}

void TFBContainer::BuildIndex() {
  index_ = std::make_unique<TIndex>();
  index_->reserve(count_ * 2);
  for (TFBEntry* e = first_; e; e = e->next_) index_->emplace(IndexKey(e->name_, e->type_), e);
}

void TFBContainer::Unlink(TFBEntry* child) {
  if (index_) {
    const std::string key = IndexKey(child->name_, child->type_);
    const auto it = index_->find(key);
    if (it != index_->end() && it->second == child) {
      // A later namesake of the same kind, if any, becomes the one found.
      TFBEntry* heir = child->next_;
      while (heir && !(heir->type_ == child->type_ && SameEntryName(heir->name_, child->name_))) heir = heir->next_;
      if (heir) {
        it->second = heir;
      } else {
        index_->erase(it);
      }
    }
  }
  if (child->prev_ == this) {
    first_ = child->next_;
    if (first_) first_->prev_ = this;
  } else {
    child->prev_->next_ = child->next_;
    if (child->next_) child->next_->prev_ = child->prev_;
  }
  if (last_ == child) last_ = child->prev_ == this ? nullptr : child->prev_;
  --count_;
  child->parent_ = nullptr;
  child->prev_ = child->next_ = nullptr;
}
