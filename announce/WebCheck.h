// TWebCheck: a one-shot background fetch of one web page. Its text, with
// every "<br>" taken as a line break, goes to the result callback as lines;
// an error (no connection, HTTP error, time-out) goes to the failure
// callback instead. The address lookup (announce/AddressLookup.h) uses it
// to ask the list service under which address it sees this server.
//
// Ownership: the creator owns it, sets the fields, then calls Start once.
// Destroying it aborts a fetch in progress (the failure callback then runs)
// and joins the thread; a callback must therefore not destroy its sender.
// Thread-safety: the callbacks run on the fetch thread; set the fields
// before Start and leave them alone afterwards.
#pragma once

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "announce/HttpClient.h"

class TWebCheck {
 public:
  using TLines = std::vector<std::string>;
  // Lines of the page; none when the check was disabled.
  using TResultEvent = std::function<void(TWebCheck& sender, std::optional<TLines> lines)>;
  using TFailureEvent = std::function<void(TWebCheck& sender)>;

  TWebCheck() = default;
  ~TWebCheck();
  TWebCheck(const TWebCheck&) = delete;
  TWebCheck& operator=(const TWebCheck&) = delete;

  bool Enabled = true;  // false: nothing is fetched, the result callback gets none
  std::string URL;
  TResultEvent OnResult;
  TFailureEvent OnFailure;
  THttpProxy Proxy;

  void Start();
  // Blocks until the callback has returned.
  void WaitFor();
  // Why the fetch failed, for the failure callback.
  const std::string& Failure() const { return failure_; }

  // "<br>" in any letter case becomes a line break; then the text is split
  // at CR LF, LF or CR. A break at the very end makes no empty last line.
  static TLines SplitPage(const std::string& text);

 private:
  void Execute();

  std::atomic<bool> abort_{false};
  std::string failure_;
  std::thread thread_;
};
