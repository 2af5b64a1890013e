// Fuzz target for the page templates: any page and any included files must
// expand to an end, within the page bound, with every value escaped, never
// crash or hang. The input is the page, then up to three include files,
// separated by NUL bytes; the includes are named "a", "b" and "c".
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "admin/WebTemplates.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> parts(1);
  for (size_t i = 0; i < size; ++i) {
    if (data[i] == 0 && parts.size() < 4)
      parts.emplace_back();
    else
      parts.back() += static_cast<char>(data[i]);
  }
  parts.resize(4);
  const auto load = [&](const std::string& name) -> std::string {
    if (name == "a") return parts[1];
    if (name == "b") return parts[2];
    if (name == "c") return parts[3];
    return "";
  };
  const std::string page = ExpandIncludes(parts[0], load);
  // Each include adds at most the largest file; the loop stops past the bound.
  size_t largest = 0;
  for (size_t i = 1; i < 4; ++i) largest = std::max(largest, parts[i].size());
  if (page.size() > std::max(parts[0].size(), kMaxPageLength) + largest) std::abort();

  TMarkers markers;
  markers.Text("%%A%%", "<&\"'>");
  markers.Text("%%B%%", "%%A%%");
  markers.Html("%!LIST!%", "<option>");
  markers.Condition("X", true);
  TMarkers row;
  row.Text("%%ROW%%", parts[1].substr(0, 64));
  const std::string out = row.Expand(markers.Expand(page), &markers);
  // Escaped values never bring a raw quote or angle bracket of their own.
  if (page.find_first_of("<>\"'") == std::string::npos && parts[1].find_first_of("<>\"'") == std::string::npos &&
      page.find("%!") == std::string::npos && out.find_first_of("<>\"'") != std::string::npos)
    std::abort();
  return 0;
}
