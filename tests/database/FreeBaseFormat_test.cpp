// The "KWFB" file image: exact bytes, round trips of every entry kind, the
// portable 80-bit float, and damaged or hostile images.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

#include <zlib.h>

#include "database/FreeBase.h"
#include "database/FreeBaseFormat.h"
#include "database/MemoryStorage.h"

namespace {

std::string Hex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i < hex.size();) {
    if (hex[i] == ' ') {
      ++i;
      continue;
    }
    out.push_back(static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16)));
    i += 2;
  }
  return out;
}

// The header a TManualClock at its start (day 46000.5) produces for a database named `name`.
std::string Header(std::string_view name) {
  std::string h = Hex("4b574642 4000 0100 0000 000000001076e640 000000001076e640");
  std::string field(32, '\0');
  field.replace(0, name.size(), name);
  return h + field + Hex("00000000 0000");
}

// What a save appends: the CRC-32 of all bytes before it, then "KWCS".
std::string Sealed(const std::string& image) {
  const uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(image.data()),
                                                   static_cast<uInt>(image.size())));
  std::string out = image;
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>(crc >> (8 * i)));
  return out + "KWCS";
}

struct TMemoryDb {
  TMemoryStorage storage;
  TManualClock clock;
  TFreeBase db{storage, &clock};
  std::string& File() { return storage.Files()["db"]; }
  void Open(TFBOpenFlag flag = TFBOpenFlag::ReadWrite) {
    db.SetFileName("db");
    db.SetOpenFlag(flag);
    db.SetActive(true);
  }
};

TEST(FreeBaseFormat, EmptyDatabaseIsHeaderAndTwoZeroBytes) {
  TMemoryDb m;
  m.Open();
  ASSERT_TRUE(m.db.Flush());
  EXPECT_EQ(m.File(), Sealed(Header("unbenannt") + std::string(2, '\0')));
  EXPECT_EQ(m.File().size(), 74u);
  EXPECT_EQ(m.db.CurrentFileSize(), 74);
}

TEST(FreeBaseFormat, SmallTreeHasExactBytes) {
  TMemoryDb m;
  m.Open();
  m.db.SetDatabaseName("t");
  ASSERT_TRUE(m.db.WriteInteger("A\\x", 7));
  ASSERT_TRUE(m.db.WriteString("A\\s", "hi"));
  ASSERT_TRUE(m.db.WriteFloat("f", -2.5));
  {
    auto lock = m.db.Lock();
    auto* bin = EntryAs<TFBBinary>(m.db.FindPath(lock, "b", TFBEntryType::Binary, true));
    bin->Data = {1, 2, 3};
    bin->Reserved = 0x11223344;
    auto* wide = EntryAs<TFBWideString>(m.db.FindPath(lock, "w", TFBEntryType::WideString, true));
    wide->Value = u"a\u20ac";
  }
  ASSERT_TRUE(m.db.Flush());
  const std::string expected = Header("t") +
                               Hex("01 01000000 41 00000000"                 // node A
                                   "02 01000000 78 00000000 07000000"        // integer x = 7
                                   "03 01000000 73 00000000 02000000 6869"   // string s = "hi"
                                   "00"                                      // end of A
                                   "05 01000000 66 00000000 000000000000 00a0 00c0"  // float -2.5
                                   "04 01000000 62 44332211 03000000 010203"         // binary
                                   "06 01000000 77 00000000 02000000 6100 ac20"      // wide "a€"
                                   "00 00");
  EXPECT_EQ(m.File(), Sealed(expected));
}

TEST(FreeBaseFormat, EveryEntryKindSurvivesSaveAndReload) {
  TMemoryDb m;
  m.Open();
  m.db.SetDatabaseName("round trip");
  const std::string bytes("\0\x01\xff text with\0zero", 18);
  m.db.WriteInteger("\\Kinds\\Int", -123456789);
  m.db.WriteString("\\Kinds\\Str", bytes);
  m.db.WriteString("\\Kinds\\Empty", "");
  m.db.WriteFloat("\\Kinds\\Float", 46000.123456789);
  m.db.CreateNode("\\Kinds\\Deep\\Er\\Node");
  const TExtended80 precise{0xC90FDAA22168C235ull, 0x4000};  // pi with all 64 bits: more than a double holds
  {
    auto lock = m.db.Lock();
    EntryAs<TFBBinary>(m.db.FindPath(lock, "Kinds\\Bin", TFBEntryType::Binary, true))->Data = {0, 255, 7};
    EntryAs<TFBWideString>(m.db.FindPath(lock, "Kinds\\Wide", TFBEntryType::WideString, true))->Value =
        std::u16string(u"x\xffff\0y", 4);
    EntryAs<TFBFloat>(m.db.FindPath(lock, "Kinds\\Pi", TFBEntryType::Float, true))->Value = precise;
    m.db.GetEntry(lock, "Kinds\\Int", TFBEntryType::Integer)->Reserved = 0xdeadbeef;
  }
  m.db.SetActive(false);
  ASSERT_EQ(m.db.LastError(), 0);
  const std::string firstImage = m.File();

  m.Open();
  ASSERT_TRUE(m.db.Active());
  EXPECT_EQ(m.db.DatabaseName(), "round trip");
  EXPECT_EQ(m.db.ReadInteger("Kinds\\Int", 0), -123456789);
  EXPECT_EQ(m.db.ReadString("Kinds\\Str", ""), bytes);
  EXPECT_EQ(m.db.ReadString("Kinds\\Empty", "default"), "");
  EXPECT_EQ(m.db.ReadFloat("Kinds\\Float", 0), 46000.123456789);
  auto lock = m.db.Lock();
  EXPECT_NE(m.db.GetEntry(lock, "Kinds\\Deep\\Er\\Node", TFBEntryType::Node), nullptr);
  EXPECT_EQ(EntryAs<TFBBinary>(m.db.GetEntry(lock, "Kinds\\Bin", TFBEntryType::Binary))->Data,
            (std::vector<uint8_t>{0, 255, 7}));
  EXPECT_EQ(EntryAs<TFBWideString>(m.db.GetEntry(lock, "Kinds\\Wide", TFBEntryType::WideString))->Value,
            std::u16string(u"x\xffff\0y", 4));
  EXPECT_EQ(EntryAs<TFBFloat>(m.db.GetEntry(lock, "Kinds\\Pi", TFBEntryType::Float))->Value, precise);
  EXPECT_EQ(m.db.GetEntry(lock, "Kinds\\Int", TFBEntryType::Integer)->Reserved, 0xdeadbeefu);
  // Nothing changed, and the clock did not move: the same bytes again.
  ASSERT_TRUE(m.db.Flush());
  EXPECT_EQ(m.File(), firstImage);
}

TEST(FreeBaseFormat, ChildrenKeepCreationOrderThroughReload) {
  TMemoryDb m;
  m.Open();
  const std::vector<std::string> names = {"zeta", "Alpha", "mid", "beta", "0"};
  for (const auto& n : names) m.db.CreateNode("List\\" + n);
  const auto listed = [&m] {
    std::vector<std::string> out;
    auto lock = m.db.Lock();
    auto* list = EntryAs<TFBContainer>(m.db.GetEntry(lock, "List", TFBEntryType::Node));
    for (TFBEntry* e = list ? list->FirstChild() : nullptr; e; e = e->Next()) out.push_back(e->Name());
    return out;
  };
  EXPECT_EQ(listed(), names);
  m.db.SetActive(false);
  m.Open();
  EXPECT_EQ(listed(), names);
}

TEST(FreeBaseFormat, ExtendedFloatConvertsExactlyAndPortably) {
  // Bit patterns of the x87 format, independent of the compiler's long double.
  EXPECT_EQ(TExtended80::FromDouble(1.0), (TExtended80{0x8000000000000000ull, 0x3FFF}));
  EXPECT_EQ(TExtended80::FromDouble(-2.5), (TExtended80{0xA000000000000000ull, 0xC000}));
  EXPECT_EQ(TExtended80::FromDouble(-0.0), (TExtended80{0, 0x8000}));
  EXPECT_EQ(TExtended80::FromDouble(std::numeric_limits<double>::infinity()),
            (TExtended80{0x8000000000000000ull, 0x7FFF}));
  for (double v : {0.0, 1.0, -1.5, 46000.5, 1e-300, 4.9406564584124654e-324, 1.7976931348623157e308,
                   std::nextafter(1.0, 2.0), 0.1}) {
    EXPECT_EQ(TExtended80::FromDouble(v).ToDouble(), v) << v;
  }
  EXPECT_TRUE(std::isnan(TExtended80::FromDouble(std::nan("")).ToDouble()));
  // Rounding from 64 to 53 bits: to nearest, ties to even.
  EXPECT_EQ((TExtended80{0x8000000000000400ull, 0x3FFF}).ToDouble(), 1.0);  // tie, even stays
  EXPECT_EQ((TExtended80{0x8000000000000C00ull, 0x3FFF}).ToDouble(), 1.0 + 2 * 0x1p-52);
  EXPECT_EQ((TExtended80{0x8000000000000401ull, 0x3FFF}).ToDouble(), 1.0 + 0x1p-52);
  // Beyond double's range; an extended denormal; the smallest double subnormal.
  EXPECT_TRUE(std::isinf((TExtended80{0x8000000000000000ull, 0x7FFE}).ToDouble()));
  EXPECT_EQ((TExtended80{1, 0}).ToDouble(), 0.0);
  EXPECT_EQ((TExtended80{0x8000000000000000ull, 16383 - 1074}).ToDouble(), 0x1p-1074);
  uint8_t bytes[10];
  TExtended80::FromDouble(-2.5).ToBytes(bytes);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(bytes), 10), Hex("00000000000000a0 00c0"));
  EXPECT_EQ(TExtended80::FromBytes(bytes), TExtended80::FromDouble(-2.5));
}

// A database of one node holding one string, for the damage tests below.
std::string SampleImage() {
  return Header("s") + Hex("01 01000000 4e 00000000  03 01000000 76 00000000 03000000 616263  00 00 00");
}

bool Parses(const std::string& image) {
  TFBHeader header;
  std::unique_ptr<TFBRoot> root;
  return ParseFreeBase(image, header, root);
}

TEST(FreeBaseFormat, DamagedImagesAreRefused) {
  const std::string good = SampleImage();
  ASSERT_TRUE(Parses(good));
  // Every cut inside the entries is a short read; the last zero byte is not needed.
  for (size_t n = 0; n + 1 < good.size(); ++n) EXPECT_FALSE(Parses(good.substr(0, n))) << n;
  EXPECT_TRUE(Parses(good.substr(0, good.size() - 1)));

  struct TDamage {
    size_t at;
    char value;
    bool loads;
    const char* what;
  };
  for (const TDamage& d : {TDamage{0, 'X', false, "magic"}, TDamage{6, 2, false, "version 2"},
                           TDamage{6, 0, true, "version 0"}, TDamage{4, 65, false, "header above 64"},
                           TDamage{4, 7, false, "header below 8"}, TDamage{64, 7, false, "tag above 6"}}) {
    std::string bad = good;
    bad[d.at] = d.value;
    EXPECT_EQ(Parses(bad), d.loads) << d.what;
  }
}

// A save's checksum: any changed byte (a rights value, a type tag that
// ends a list early) makes the file damaged, while a reader that stops at
// the stream's end does not notice the trailer, and a file without one (an
// older save) still loads.
TEST(FreeBaseFormat, ChecksumCatchesAnyChangedByteAndOlderFilesStillLoad) {
  TMemoryDb m;
  m.Open();
  m.db.WriteInteger("Servers\\s\\Users\\u\\Priviliges", 4);
  m.db.WriteString("Servers\\s\\Users\\u\\LogInName", "u");
  ASSERT_TRUE(m.db.Flush());
  const std::string saved = m.File();
  ASSERT_TRUE(Parses(saved));
  const size_t rights = saved.find("Priviliges") + 10 + 4;  // name, reserved, then the value
  ASSERT_EQ(saved[rights], 4);
  for (size_t at : {rights, saved.find("LogInName") - 9, saved.size() - 9}) {
    std::string bad = saved;
    bad[at] = static_cast<char>(bad[at] ^ 1);
    EXPECT_FALSE(Parses(bad)) << at;
    EXPECT_EQ(SalvageFreeBase(bad).Fault, "the checksum does not match the content (changed after it was saved)")
        << at;
  }
  std::string bad = saved;
  bad[rights] = 9;
  m.db.SetActive(false);
  m.File() = bad;
  m.Open();
  EXPECT_EQ(m.db.LastError(), FreeBaseError::InvalidFile);
  // Without the trailer: an older save, read as before.
  EXPECT_TRUE(Parses(saved.substr(0, saved.size() - 8)));
  bad = saved.substr(0, saved.size() - 8);
  bad[rights] = 9;
  EXPECT_TRUE(Parses(bad));
}

TEST(FreeBaseFormat, SalvageKeepsWhatWasReadBeforeTheFaultAndSaysWhere) {
  // Node "N" holding the integer "i" = 5 and a string "v" cut inside its text.
  const std::string image =
      Header("s") + Hex("01 01000000 4e 00000000  02 01000000 69 00000000 05000000  03 01000000 76 00000000 03000000 6162");
  TFBSalvage read = SalvageFreeBase(image);
  EXPECT_EQ(read.Fault, "a length of 3 runs past the end at byte 102");
  ASSERT_NE(read.Root, nullptr);
  EXPECT_EQ(read.Root->Name(), "s");
  auto* node = EntryAs<TFBNode>(read.Root->FindChild("N", TFBEntryType::Node));
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->ChildCount(), 1u);  // the half-read string is gone
  auto* value = EntryAs<TFBInteger>(node->FindChild("i", TFBEntryType::Integer));
  ASSERT_NE(value, nullptr);
  EXPECT_EQ(value->Value, 5);
  EXPECT_EQ(SalvageFreeBase(Header("s") + Hex("09")).Fault, "unknown entry type 9 at byte 65");
  EXPECT_TRUE(SalvageFreeBase(SampleImage()).Fault.empty());
  // A header that is no database leaves nothing to keep.
  const TFBSalvage none = SalvageFreeBase("KWFB\x40");
  EXPECT_EQ(none.Fault, "too short for a database (5 bytes)");
  EXPECT_EQ(none.Root, nullptr);
  EXPECT_EQ(SalvageFreeBase("XXXXXXXXXXXX").Fault, "not a database file (wrong signature)");

  // The database activates on the salvaged tree only when asked to, and
  // writes nothing until its first save.
  for (const bool salvage : {false, true}) {
    TMemoryDb m;
    m.File() = image;
    m.db.SetSalvage(salvage);
    m.Open();
    EXPECT_EQ(m.db.LastError(), FreeBaseError::InvalidFile);
    EXPECT_EQ(m.db.LoadFault(), "a length of 3 runs past the end at byte 102");
    EXPECT_EQ(m.db.Active(), salvage);
    EXPECT_EQ(m.db.ReadInteger("\\N\\i", -1), salvage ? 5 : -1);
    EXPECT_EQ(m.File(), image);
  }
}

TEST(FreeBaseFormat, HugeLengthFieldsAreShortReadsWithoutAllocating) {
  // Each length field in turn set to 2^31-1: far beyond the rest of the file.
  for (size_t at : {65u, 75u, 84u}) {  // node name, string name, string value
    std::string bad = SampleImage();
    bad.replace(at, 4, Hex("ffffff7f"));
    EXPECT_FALSE(Parses(bad)) << at;
  }
  const std::string wide = Header("") + Hex("06 01000000 77 00000000 ffffff7f 6100 00 00");
  EXPECT_FALSE(Parses(wide));
  const std::string binary = Header("") + Hex("04 01000000 62 00000000 00000080 00 00");  // negative size
  EXPECT_TRUE(Parses(binary));
}

TEST(FreeBaseFormat, ShortHeaderReadsMissingFieldsAsZero) {
  // Header size 8: no times, no name, no reserved value.
  const std::string image = Hex("4b574642 0800 0100") + Hex("02 01000000 69 00000000 05000000 00 00");
  TFBHeader header;
  std::unique_ptr<TFBRoot> root;
  ASSERT_TRUE(ParseFreeBase(image, header, root));
  EXPECT_EQ(root->Name(), "");
  EXPECT_EQ(header.Created, 0);
  EXPECT_EQ(EntryAs<TFBInteger>(root->FindChild("I", TFBEntryType::Integer))->Value, 5);
}

TEST(FreeBaseFormat, NestingBeyondTheLimitIsRefused) {
  const auto nested = [](int depth) {
    std::string image = Header("");
    for (int i = 0; i < depth; ++i) image += Hex("01 01000000 6e 00000000");
    return image + std::string(static_cast<size_t>(depth) + 2, '\0');
  };
  EXPECT_TRUE(Parses(nested(kFBMaxDepth)));
  EXPECT_FALSE(Parses(nested(kFBMaxDepth + 1)));
  EXPECT_FALSE(Parses(nested(100000)));  // would exhaust the stack if followed
}

}  // namespace
