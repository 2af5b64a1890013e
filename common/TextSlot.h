// TTextSlot<N>: a text that never holds more than N bytes, for the fixed
// text slots of player, channel and account records (str29, str99, str255).
// Whatever is copied in is cut to the slot, never refused. The wire code
// writes the length byte and the zero padding from Text().
//
// Thread-safety: a plain value; the owner of the record guards it.
#pragma once

#include <cstddef>
#include <ostream>
#include <string>
#include <string_view>

template <size_t N>
class TTextSlot {
 public:
  static constexpr size_t Capacity = N;

  TTextSlot() = default;
  TTextSlot(std::string_view text) { Assign(text); }
  TTextSlot(const std::string& text) { Assign(text); }
  TTextSlot(const char* text) { Assign(text ? std::string_view(text) : std::string_view()); }

  TTextSlot& operator=(std::string_view text) {
    Assign(text);
    return *this;
  }
  TTextSlot& operator=(const std::string& text) { return *this = std::string_view(text); }
  TTextSlot& operator=(const char* text) { return *this = TTextSlot(text); }

  const std::string& Text() const { return text_; }
  operator const std::string&() const { return text_; }
  bool Empty() const { return text_.empty(); }
  size_t Length() const { return text_.size(); }

  friend bool operator==(const TTextSlot& a, const TTextSlot& b) { return a.text_ == b.text_; }
  friend bool operator==(const TTextSlot& a, std::string_view b) { return a.text_ == b; }
  friend bool operator==(const TTextSlot& a, const std::string& b) { return a.text_ == b; }
  friend bool operator==(const TTextSlot& a, const char* b) { return a.text_ == b; }
  friend std::ostream& operator<<(std::ostream& out, const TTextSlot& slot) { return out << slot.text_; }

 private:
  void Assign(std::string_view text) { text_.assign(text.substr(0, N)); }
  std::string text_;
};

using TStr29 = TTextSlot<29>;
using TStr99 = TTextSlot<99>;
using TStr255 = TTextSlot<255>;
