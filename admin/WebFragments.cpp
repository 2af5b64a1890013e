#include "admin/WebFragments.h"

#include <string>

#include "common/TextFormat.h"

namespace {

constexpr std::string_view kFragments[] = {"head.html", "top.html", "foot.html", "status.html",
                                           "database_client_manager_clientlist.html"};

// Each box and the parameter it cannot do without.
constexpr std::pair<std::string_view, std::string_view> kBoxes[] = {
    {"ok_box.html", "ok_text"}, {"error_box.html", "error_text"}, {"choice_box.html", "choice_url_yes"}};

}  // namespace

bool IsPageFragment(std::string_view fileName) {
  for (std::string_view f : kFragments)
    if (SameText(fileName, f)) return true;
  return false;
}

bool IsBareMessageBox(std::string_view fileName, const std::function<std::string(std::string_view)>& param) {
  for (const auto& [box, needed] : kBoxes)
    if (SameText(fileName, box)) return param(needed).empty();
  return false;
}
