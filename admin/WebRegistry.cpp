#include "admin/WebRegistry.h"

#include <algorithm>

#include "admin/WebFeedback.h"
#include "admin/WebInterface.h"
#include "admin/WebText.h"
#include "common/TextFormat.h"

namespace {

// The features, each a file with its records. A new feature file is one
// line here; a new command or page of a feature is a record in its file.
using TCommandList = std::span<const TWebCommand> (*)();
using TPageList = std::span<const TWebPage> (*)();
constexpr TCommandList kCommandFeatures[] = {AccountCommands, OperatorCommands, BanCommands};
constexpr TPageList kPageFeatures[] = {CorePages, OperatorPages, BanPages};

template <typename F>
const TWebCommand* FirstCommand(F&& match) {
  for (TCommandList list : kCommandFeatures)
    for (const TWebCommand& command : list())
      if (match(command)) return &command;
  return nullptr;
}

std::string Basename(std::string_view file) {
  const size_t slash = file.find_last_of("/\\");
  std::string name(file.substr(slash == std::string_view::npos ? 0 : slash + 1));
  for (char& c : name)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
  return name;
}

}  // namespace

const TWebCommand* FindWebCommand(std::string_view document, bool& asking) {
  const std::string name = UpperCase(document.substr(!document.empty() && document[0] == '/' ? 1 : 0));
  asking = false;
  if (const TWebCommand* command = FirstCommand([&](const TWebCommand& c) { return name == c.Name; })) return command;
  asking = true;
  return FirstCommand([&](const TWebCommand& c) { return c.Confirm.Asker && name == c.Confirm.Asker; });
}

const TWebCommand* FindWebCommand(std::string_view name) {
  return FirstCommand([&](const TWebCommand& c) { return name == c.Name; });
}

bool IsPendingValue(std::string_view name) {
  return FirstCommand([&](const TWebCommand& c) { return c.Confirm.Pending && SameText(name, c.Confirm.Pending); });
}

const TWebPage* FindWebPage(std::string_view file) {
  const std::string name = Basename(file);
  for (TPageList list : kPageFeatures)
    for (const TWebPage& page : list())
      if (name == page.File) return &page;
  return nullptr;
}

std::vector<const TWebPage*> WebPages() {
  std::vector<const TWebPage*> pages;
  for (TPageList list : kPageFeatures)
    for (const TWebPage& page : list()) pages.push_back(&page);
  std::stable_sort(pages.begin(), pages.end(),
                   [](const TWebPage* a, const TWebPage* b) { return a->NavOrder < b->NavOrder; });
  return pages;
}

bool HasWebRights(const TWebRequest& r, TWebRights needs) {
  switch (needs) {
    case TWebRights::None: return true;
    case TWebRights::LoggedIn: return r.LoggedIn;
    case TWebRights::ServerSelected: return r.LoggedIn && !r.ServerID.empty();
    case TWebRights::SuperAdmin: return r.LoggedIn && !r.ServerID.empty() && r.SuperAdmin;
  }
  return false;
}

std::string RenderNavigation(const TWebRequest& r) {
  std::string html;
  for (const TWebPage* page : WebPages())
    if (page->Label && HasWebRights(r, page->Needs))
      html += std::string("<a href=\"") + page->File + "\" id=\"nav-" + page->NavId + "\">" + page->Label + "</a>\r\n";
  return html;
}

void AskFirst(TWebRequest& r, const char* name, const TWebPending& pending) {
  const TWebCommand* command = FindWebCommand(name);
  if (!command || !command->Confirm.Pending) {
    TWebInterface::DisplayError(r.Response, "error occured", "there is nothing to confirm", "index.html");
    return;
  }
  const TWebConfirmation& c = command->Confirm;
  r.Session->Set(c.Pending, pending.Value);
  const std::string yes = std::string(command->Name) + (pending.YesQuery.empty() ? "" : "?" + pending.YesQuery);
  // The detail goes in first: a target's own "%2" (a nickname may hold one)
  // stays as it is.
  std::string question = c.Question;
  ReplaceText(question, "%2", pending.Detail, rfReplaceAll);
  TWebInterface::DisplayChoice(r.Response, "please choose", FormatArgs(question, {pending.Shown}), yes, c.Back, "yes",
                               "no");
}

std::string TakePending(TWebRequest& r, const TWebCommand& command) {
  if (!command.Confirm.Pending) return "";
  return r.Session->With([&](TSessionValues& v) {
    std::string asked = v.Get(command.Confirm.Pending);
    v.Set(command.Confirm.Pending, "");
    return asked;
  });
}
