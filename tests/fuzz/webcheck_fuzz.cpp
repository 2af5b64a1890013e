// Fuzz target for the pages the list service sends back: any text must
// split into lines without a crash, no line may hold a break, and the
// address taken from it stays short and printable, since it is logged and
// printed as it stands.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "announce/AddressLookup.h"
#include "announce/WebCheck.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string page(reinterpret_cast<const char*>(data), size);
  const TWebCheck::TLines lines = TWebCheck::SplitPage(page);
  for (const std::string& line : lines)
    if (line.find_first_of("\r\n") != std::string::npos) std::abort();
  const std::string ip = ValueOfKey(lines, "IP");
  if (ip.size() > 45) std::abort();
  for (const char c : ip)
    if (c <= ' ' || c >= 127) std::abort();
  return 0;
}
