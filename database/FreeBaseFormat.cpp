#include "database/FreeBaseFormat.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>

#include <zlib.h>

namespace {

constexpr char kMagic[4] = {'K', 'W', 'F', 'B'};
constexpr size_t kMinimumHeader = 8;  // magic, header size, version
constexpr uint16_t kVersion = 1;
// A save ends with a trailer after the entry stream's last zero byte: the
// CRC-32 of everything before it, then this mark. Readers of the stream stop
// at the root's list and never see it; a file without the mark (an older
// save) is read as before. The mark comes last because a stream always ends
// in a zero byte, so no file without a trailer can end in it.
constexpr char kChecksumMark[4] = {'K', 'W', 'C', 'S'};
constexpr size_t kTrailerSize = 4 + sizeof kChecksumMark;

// Offsets within the header.
constexpr size_t kOffCreated = 10;
constexpr size_t kOffLastSaved = 18;
constexpr size_t kOffName = 26;
constexpr size_t kOffReserved = 58;

uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
// zlib's CRC-32 over any length (it takes at most 4 GiB a call).
uint32_t Crc32(std::string_view bytes) {
  uLong crc = crc32(0L, Z_NULL, 0);
  while (!bytes.empty()) {
    const size_t n = std::min<size_t>(bytes.size(), 1u << 30);
    crc = crc32(crc, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(n));
    bytes.remove_prefix(n);
  }
  return static_cast<uint32_t>(crc);
}

double GetDouble(const uint8_t* p) {
  return std::bit_cast<double>(static_cast<uint64_t>(GetU32(p)) | static_cast<uint64_t>(GetU32(p + 4)) << 32);
}

// Reads a file image front to back; every read must get all it asks for.
class TReader {
 public:
  explicit TReader(std::string_view image)
      : begin_(reinterpret_cast<const uint8_t*>(image.data())), pos_(begin_), end_(pos_ + image.size()) {}

  size_t Left() const { return static_cast<size_t>(end_ - pos_); }
  // Records the first fault with the offset where reading stood; false.
  bool Fail(std::string_view why) {
    if (fault_.empty()) fault_ = std::string(why) + " at byte " + std::to_string(pos_ - begin_);
    return false;
  }
  const std::string& Fault() const { return fault_; }
  bool Bytes(size_t n, const uint8_t*& out) {
    if (n > Left()) return Fail("the file ends early");
    out = pos_;
    pos_ += n;
    return true;
  }
  bool U8(uint8_t& v) {
    const uint8_t* p = nullptr;
    if (!Bytes(1, p)) return false;
    v = *p;
    return true;
  }
  bool I32(int32_t& v) {
    const uint8_t* p = nullptr;
    if (!Bytes(4, p)) return false;
    v = static_cast<int32_t>(GetU32(p));
    return true;
  }
  bool U32(uint32_t& v) {
    const uint8_t* p = nullptr;
    if (!Bytes(4, p)) return false;
    v = GetU32(p);
    return true;
  }
  // A length field, then that many units of `unit` bytes. A non-positive
  // length means nothing follows; one larger than the rest of the image is a
  // short read, refused before any allocation.
  bool Counted(size_t unit, std::string_view& out) {
    int32_t count;
    if (!I32(count)) return false;
    if (count <= 0) {
      out = {};
      return true;
    }
    const uint64_t bytes = static_cast<uint64_t>(count) * unit;
    const uint8_t* p = nullptr;
    if (bytes > Left()) return Fail("a length of " + std::to_string(count) + " runs past the end");
    if (!Bytes(static_cast<size_t>(bytes), p)) return false;
    out = std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(bytes));
    return true;
  }

 private:
  const uint8_t* begin_;
  const uint8_t* pos_;
  const uint8_t* end_;
  std::string fault_;
};

bool ReadPayload(TReader& in, TFBEntry* entry, int depth);

// One child list, up to and including its zero terminator; `depth` is that
// of the entries in it (1 for the root's children). On a fault the tree
// keeps every entry read in full before it (a node keeps the children it
// got), so that a damaged file can be salvaged; a half-read value goes.
bool ReadChildList(TReader& in, TFBContainer* parent, int depth) {
  for (;;) {
    uint8_t tag;
    if (!in.U8(tag)) return false;
    if (tag == 0) return true;
    if (tag > kFBLastEntryType) return in.Fail("unknown entry type " + std::to_string(tag));
    if (depth > kFBMaxDepth) return in.Fail("entries nested deeper than " + std::to_string(kFBMaxDepth));
    std::string_view name;
    if (!in.Counted(1, name)) return false;
    TFBEntry* entry = parent->AddChild(static_cast<TFBEntryType>(tag), std::string(name));
    if (!in.U32(entry->Reserved) || !ReadPayload(in, entry, depth)) {
      if (!entry->IsContainer()) delete entry;  // unlinks itself
      return false;
    }
  }
}

bool ReadPayload(TReader& in, TFBEntry* entry, int depth) {
  switch (entry->EntryType()) {
    case TFBEntryType::Node: return ReadChildList(in, static_cast<TFBContainer*>(entry), depth + 1);
    case TFBEntryType::Integer: return in.I32(static_cast<TFBInteger*>(entry)->Value);
    case TFBEntryType::String: {
      std::string_view text;
      if (!in.Counted(1, text)) return false;
      static_cast<TFBString*>(entry)->Value.assign(text);
      return true;
    }
    case TFBEntryType::Binary: {
      std::string_view data;
      if (!in.Counted(1, data)) return false;
      static_cast<TFBBinary*>(entry)->Data.assign(data.begin(), data.end());
      return true;
    }
    case TFBEntryType::Float: {
      const uint8_t* p = nullptr;
      if (!in.Bytes(TExtended80::kBytes, p)) return false;
      static_cast<TFBFloat*>(entry)->Value = TExtended80::FromBytes(p);
      return true;
    }
    case TFBEntryType::WideString: {
      std::string_view units;
      if (!in.Counted(2, units)) return false;
      auto& value = static_cast<TFBWideString*>(entry)->Value;
      value.resize(units.size() / 2);
      for (size_t i = 0; i < value.size(); ++i)
        value[i] = static_cast<char16_t>(GetU16(reinterpret_cast<const uint8_t*>(units.data()) + 2 * i));
      return true;
    }
    case TFBEntryType::Root: break;
  }
  return false;
}

// Appends little-endian fields to a file image.
class TWriter {
 public:
  explicit TWriter(std::string& out) : out_(out) {}
  void Raw(const void* data, size_t n) { out_.append(static_cast<const char*>(data), n); }
  void U8(uint8_t v) { out_.push_back(static_cast<char>(v)); }
  void U16(uint16_t v) {
    U8(static_cast<uint8_t>(v));
    U8(static_cast<uint8_t>(v >> 8));
  }
  void U32(uint32_t v) {
    U16(static_cast<uint16_t>(v));
    U16(static_cast<uint16_t>(v >> 16));
  }
  void I32(int32_t v) { U32(static_cast<uint32_t>(v)); }
  void Double(double v) {
    const uint64_t bits = std::bit_cast<uint64_t>(v);
    U32(static_cast<uint32_t>(bits));
    U32(static_cast<uint32_t>(bits >> 32));
  }
  // Lengths in the file are signed 32-bit; longer values are cut there.
  static int32_t Count(size_t n) { return n > INT32_MAX ? INT32_MAX : static_cast<int32_t>(n); }

 private:
  std::string& out_;
};

void WriteChildList(TWriter& out, const TFBContainer& parent) {
  for (const TFBEntry* e = parent.FirstChild(); e; e = e->Next()) {
    out.U8(static_cast<uint8_t>(e->EntryType()));
    const int32_t nameLength = TWriter::Count(e->Name().size());
    out.I32(nameLength);
    out.Raw(e->Name().data(), static_cast<size_t>(nameLength));
    out.U32(e->Reserved);
    switch (e->EntryType()) {
      case TFBEntryType::Node: WriteChildList(out, *static_cast<const TFBContainer*>(e)); break;
      case TFBEntryType::Integer: out.I32(static_cast<const TFBInteger*>(e)->Value); break;
      case TFBEntryType::String: {
        const std::string& v = static_cast<const TFBString*>(e)->Value;
        const int32_t n = TWriter::Count(v.size());
        out.I32(n);
        out.Raw(v.data(), static_cast<size_t>(n));
        break;
      }
      case TFBEntryType::Binary: {
        const auto& v = static_cast<const TFBBinary*>(e)->Data;
        const int32_t n = TWriter::Count(v.size());
        out.I32(n);
        out.Raw(v.data(), static_cast<size_t>(n));
        break;
      }
      case TFBEntryType::Float: {
        uint8_t bytes[TExtended80::kBytes];
        static_cast<const TFBFloat*>(e)->Value.ToBytes(bytes);
        out.Raw(bytes, sizeof bytes);
        break;
      }
      case TFBEntryType::WideString: {
        const std::u16string& v = static_cast<const TFBWideString*>(e)->Value;
        const int32_t n = TWriter::Count(v.size());
        out.I32(n);
        for (int32_t i = 0; i < n; ++i) out.U16(v[static_cast<size_t>(i)]);
        break;
      }
      case TFBEntryType::Root: break;
    }
  }
  out.U8(0);
}

// Bytes a save will take, so that the image is built without regrowing.
size_t EstimateSize(const TFBContainer& parent) {
  size_t n = 1;
  for (const TFBEntry* e = parent.FirstChild(); e; e = e->Next()) {
    n += 9 + e->Name().size() + 14;
    if (e->IsContainer()) n += EstimateSize(*static_cast<const TFBContainer*>(e));
    if (e->EntryType() == TFBEntryType::String) n += static_cast<const TFBString*>(e)->Value.size();
    if (e->EntryType() == TFBEntryType::Binary) n += static_cast<const TFBBinary*>(e)->Data.size();
    if (e->EntryType() == TFBEntryType::WideString) n += 2 * static_cast<const TFBWideString*>(e)->Value.size();
  }
  return n;
}

}  // namespace

TFBSalvage SalvageFreeBase(std::string_view image) {
  TFBSalvage result;
  // A trailer is checked before anything is read, and the entries are read
  // from what precedes it only.
  std::string checksumFault;
  if (image.size() >= kTrailerSize &&
      std::memcmp(image.data() + image.size() - sizeof kChecksumMark, kChecksumMark, sizeof kChecksumMark) == 0) {
    const std::string_view body = image.substr(0, image.size() - kTrailerSize);
    if (Crc32(body) != GetU32(reinterpret_cast<const uint8_t*>(image.data()) + body.size()))
      checksumFault = "the checksum does not match the content (changed after it was saved)";
    image = body;
  }
  TReader in(image);
  const uint8_t* fixed = nullptr;
  if (image.size() <= kMinimumHeader) {
    result.Fault = "too short for a database (" + std::to_string(image.size()) + " bytes)";
    return result;
  }
  uint8_t raw[kFBHeaderSize] = {};  // fields a short header leaves out read as zero
  in.Bytes(kMinimumHeader, fixed);
  std::memcpy(raw, fixed, kMinimumHeader);
  if (std::memcmp(raw, kMagic, sizeof kMagic) != 0) {
    result.Fault = "not a database file (wrong signature)";
    return result;
  }
  const uint16_t headerSize = GetU16(raw + 4);
  const uint16_t version = GetU16(raw + 6);
  if (version > kVersion) {
    result.Fault = "file version " + std::to_string(version) + " is newer than this server reads";
    return result;
  }
  if (headerSize < kMinimumHeader || headerSize > kFBHeaderSize) {
    result.Fault = "header size " + std::to_string(headerSize) + " is invalid";
    return result;
  }
  const uint8_t* rest = nullptr;
  if (!in.Bytes(headerSize - kMinimumHeader, rest)) {
    result.Fault = in.Fault();
    return result;
  }
  std::memcpy(raw + kMinimumHeader, rest, headerSize - kMinimumHeader);

  const char* nameField = reinterpret_cast<const char*>(raw + kOffName);
  result.Root = std::make_unique<TFBRoot>(std::string(nameField, strnlen(nameField, kFBNameField)));
  result.Root->Reserved = GetU32(raw + kOffReserved);
  result.Header.Created = GetDouble(raw + kOffCreated);
  result.Header.LastSaved = GetDouble(raw + kOffLastSaved);
  // The zero byte that follows the root's list carries nothing and is not read.
  if (!ReadChildList(in, result.Root.get(), 1)) result.Fault = in.Fault();
  if (result.Fault.empty()) result.Fault = checksumFault;
  return result;
}

bool ParseFreeBase(std::string_view image, TFBHeader& header, std::unique_ptr<TFBRoot>& root) {
  TFBSalvage read = SalvageFreeBase(image);
  if (!read.Fault.empty()) return false;
  header = read.Header;
  root = std::move(read.Root);
  return true;
}

std::string SerialiseFreeBase(const TFBHeader& header, const TFBRoot& root, TDateTime saveTime) {
  std::string image;
  image.reserve(kFBHeaderSize + EstimateSize(root) + 1 + kTrailerSize);
  TWriter out(image);
  out.Raw(kMagic, sizeof kMagic);
  out.U16(kFBHeaderSize);
  out.U16(kVersion);
  out.U16(0);
  out.Double(header.Created);
  out.Double(saveTime);
  char name[kFBNameField] = {};
  std::memcpy(name, root.Name().data(), std::min(root.Name().size(), kFBNameField - 1));
  out.Raw(name, sizeof name);
  out.U32(root.Reserved);
  out.U16(0);
  WriteChildList(out, root);
  out.U8(0);
  out.U32(Crc32(image));
  out.Raw(kChecksumMark, sizeof kChecksumMark);
  return image;
}
