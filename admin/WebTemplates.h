// The marker language of the web pages, without any server behind it:
// include expansion and the replacement of variables, conditions and
// generated lists. TWebInterface fills the markers from the selected server,
// the session and the request (WebTemplates.cpp); the fuzzers drive these
// directly.
//
// Markers: "%%INCLUDE%name%" (another file of the document folder),
// "%%NAME%%" (a variable), "%!COMMENT_ON_X!%" ... "%!COMMENT_OFF_X!%" (a
// block hidden when X holds) and "%!LIST!%" (a generated fragment). Names
// match without regard to case.
//
// Thread-safety: plain values and pure functions.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <unordered_map>

// The text of an include by name; empty when there is no such file.
using TIncludeLoader = std::function<std::string(const std::string& name)>;

inline constexpr size_t kMaxIncludes = 64;             // per page, nested ones counted
inline constexpr size_t kMaxPageLength = 4 * 1024 * 1024;

// Replaces each "%%INCLUDE%name%" by load(name), included text included,
// first to last. An include without its closing "%", the kMaxIncludes-th
// include, or a page grown past kMaxPageLength ends the expansion there and
// leaves the rest as it stands, so a file that includes itself ends too.
std::string ExpandIncludes(std::string text, const TIncludeLoader& load);

// A table of markers and what they become, applied in one pass: a value put
// into the page is never searched for markers again, so a value holding a
// marker cannot pull other values (a password) into the page.
class TMarkers {
 public:
  // The marker's name is the whole marker ("%%SERVERNAME%%", "%!X!%").
  // Text() escapes the value for HTML; Html() puts it in as it is (generated
  // fragments whose parts were escaped).
  void Text(std::string_view marker, std::string_view value);
  void Html(std::string_view marker, std::string value);
  // Both brackets of condition `name`: comment brackets when it holds.
  void Condition(std::string_view name, bool holds);

  // Replaces every known marker; unknown ones stay as they are. `outer`,
  // when given, is asked for markers this table does not know.
  std::string Expand(std::string_view text, const TMarkers* outer = nullptr) const;

 private:
  const std::string* Find(std::string_view marker, const TMarkers* outer) const;
  std::unordered_map<std::string, std::string> values_;  // upper-case marker -> replacement
};
