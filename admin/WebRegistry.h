// The registry of the web interface: one record per command and one per
// page, each kept in the file of its feature. A command's record says what
// it needs of its request, whether it changes state (then a request another
// site started is refused), its confirmation question if it asks first, and
// its handler. A page's record names its file, its place in the navigation,
// the rights it needs and the markers it fills. TWebInterface's routing,
// templates, navigation and session page read the records and nothing else,
// so a new command is its record, its handler and its template.
//
// A confirmed command runs in two requests. The asking one (the record's
// Asker document, or another command's handler through AskFirst) reads the
// target from its request and keeps it in the session value Pending; the
// "yes" of the choice box runs the command, which finds the target in
// TWebRequest::Confirmed, taken from the session and cleared in one step, so
// two parallel yeses act once. The session page never sets a Pending value.
//
// Thread-safety: the records are constant tables; the lookups are pure and
// safe from any web thread.
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "server/ServerAccess.h"

class TWebInterface;
class TMarkers;
struct TWebRequest;

// What a command or page needs of its request. ServerSelected: a running
// server selected by the login; SuperAdmin: that, by a super server
// administrator.
enum class TWebRights { None, LoggedIn, ServerSelected, SuperAdmin };

// What an asking step found: the value the "yes" acts on, its words in the
// question (%1), a query the "yes" link carries besides (may be empty), and
// a second word for the question (%2: what the action will cost, say).
struct TWebPending {
  std::string Value;
  std::string Shown;
  std::string YesQuery;
  std::string Detail = "";
};

struct TWebConfirmation {
  const char* Asker = nullptr;     // the document that asks; none: a handler asks (AskFirst)
  const char* Pending = nullptr;   // the session value the target waits in
  const char* Question = nullptr;  // FormatArgs text; %1 is TWebPending::Shown, %2 its Detail
  const char* Back = nullptr;      // where "no" leads
  // The asking document's reading of its request; false: refused, and the
  // answer is already set.
  bool (*Read)(TWebInterface&, TWebRequest&, TWebPending&) = nullptr;
};

struct TWebCommand {
  const char* Name;  // the document, upper case
  TWebRights Needs;
  bool ChangesState;  // refused when another site sent it
  void (*Run)(TWebInterface&, TWebRequest&);
  TWebConfirmation Confirm = {};  // Question unset: the command acts at once
};

// What a page's markers are filled from besides the request.
struct TWebPageView {
  TServerRef Selected;                      // the running server selected; none without
  const TServerSettings* Current = nullptr;  // its settings; none without
};

struct TWebMarker {
  const char* Marker;  // as written in the page, upper case
  TWebRights Needs;    // a request without these rights gets it empty
  std::string (*Fill)(TWebInterface&, TWebRequest&, const TWebPageView&);
};

struct TWebPage {
  const char* File;   // in the document folder, lower case
  const char* Label;  // its link in the navigation; none: not listed
  const char* NavId;  // the link's id is "nav-" NavId
  int NavOrder;       // the links run in this order
  TWebRights Needs;   // the navigation lists it only for requests with these rights
  std::span<const TWebMarker> Markers;
};

// Each feature file's records; the registry lists the features.
std::span<const TWebCommand> AccountCommands();   // WebCommands.cpp
std::span<const TWebCommand> OperatorCommands();  // WebOperatorCommands.cpp
std::span<const TWebPage> CorePages();            // WebTemplates.cpp
std::span<const TWebPage> OperatorPages();        // WebOperatorPages.cpp
std::span<const TWebCommand> BanCommands();       // WebBans.cpp
std::span<const TWebPage> BanPages();             // WebBans.cpp

// The command a document names (its leading "/" dropped, any case), as the
// command itself or as its Asker; `asking` tells which. None: no command.
const TWebCommand* FindWebCommand(std::string_view document, bool& asking);
const TWebCommand* FindWebCommand(std::string_view name);
// Whether `name` is a session value a confirmation keeps.
bool IsPendingValue(std::string_view name);
// The page record of a file name (path and case ignored); none: unknown.
const TWebPage* FindWebPage(std::string_view file);
// Every page, sorted by NavOrder.
std::vector<const TWebPage*> WebPages();
// Whether a request's login check grants `needs`.
bool HasWebRights(const TWebRequest& r, TWebRights needs);
// The navigation's links for this request: the listed pages it may see.
std::string RenderNavigation(const TWebRequest& r);

// The confirmation step: keeps `pending` for the command `name` and answers
// with its question. Called by an Asker, or by a handler that asks only
// sometimes.
void AskFirst(TWebRequest& r, const char* name, const TWebPending& pending);
// Takes the command's pending value out of the session and clears it, in one step.
std::string TakePending(TWebRequest& r, const TWebCommand& command);
