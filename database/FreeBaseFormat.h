// The "KWFB" database file: a 64-byte header, then the entry stream. This
// file turns a whole file image into a tree and back; TFreeBase
// (database/FreeBase.h) does the file handling around it. All integers are
// little-endian.
//
// Thread-safety: pure functions; the caller guards the tree it passes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "common/Clock.h"
#include "database/FreeBaseEntry.h"

inline constexpr size_t kFBHeaderSize = 64;
inline constexpr size_t kFBNameField = 32;  // the database name: 31 characters and a zero
// The most path components an entry may be below the root. Deeper trees are
// refused, so that a hostile file cannot exhaust the stack of the recursive
// loader, writer and destructor. This server nests five.
inline constexpr int kFBMaxDepth = 100;

// What the header holds besides the root's name and reserved value.
struct TFBHeader {
  TDateTime Created = 0;
  TDateTime LastSaved = 0;
};

// Builds the tree from a complete file image. False when the image is no
// valid database: 8 bytes or less, wrong magic, a version above 1, a header
// size outside 8..64, a type tag above 6, an entry deeper than kFBMaxDepth,
// any field that runs past the end of the image (a length larger than what
// is left is refused before anything is allocated), or a checksum trailer
// that does not match. Header fields that a short header leaves out read as
// zero. An image without a trailer (an older save) is read as before.
bool ParseFreeBase(std::string_view image, TFBHeader& header, std::unique_ptr<TFBRoot>& root);

// A reading of an image that may be damaged. Fault is empty when the image
// is valid, else it says what is wrong and where ("the file ends early at
// byte 812"). Root holds every entry read in full before the fault; it is
// none when the header itself is unusable.
struct TFBSalvage {
  TFBHeader Header;
  std::unique_ptr<TFBRoot> Root;
  std::string Fault;
};
TFBSalvage SalvageFreeBase(std::string_view image);

// The complete file image of `root`: header (version 1, size 64, the name cut
// to 31 characters, `saveTime` as the time of the last save), the child
// lists depth first, each ended by a zero byte, and one more zero byte; then
// the trailer: the CRC-32 (little-endian) of all bytes before it and the
// four characters "KWCS". A reader that stops after the root's list never
// looks at the trailer.
std::string SerialiseFreeBase(const TFBHeader& header, const TFBRoot& root, TDateTime saveTime);
