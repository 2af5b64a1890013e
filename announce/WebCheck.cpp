#include "announce/WebCheck.h"

#include <utility>

#include "common/TextFormat.h"

TWebCheck::~TWebCheck() {
  abort_.store(true);
  WaitFor();
}

void TWebCheck::Start() { thread_ = std::thread([this] { Execute(); }); }

void TWebCheck::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

TWebCheck::TLines TWebCheck::SplitPage(const std::string& text) {
  std::string page = text;
  ReplaceText(page, "<br>", "\r\n", rfReplaceAll | rfIgnoreCase);
  TLines lines;
  std::string line;
  for (size_t i = 0; i < page.size(); ++i) {
    const char c = page[i];
    if (c != '\r' && c != '\n') {
      line += c;
      continue;
    }
    if (c == '\r' && i + 1 < page.size() && page[i + 1] == '\n') ++i;
    lines.push_back(std::move(line));
    line.clear();
  }
  if (!line.empty()) lines.push_back(std::move(line));
  return lines;
}

void TWebCheck::Execute() {
  if (!Enabled) {
    if (OnResult) OnResult(*this, std::nullopt);
    return;
  }
  std::optional<TLines> lines;
  try {
    THttpClient::TOptions http;
    http.Proxy = Proxy;
    http.Abort = &abort_;
    THttpClient client(std::move(http));
    lines = SplitPage(client.Get(URL));
  } catch (const std::exception& e) {
    // Handed to the failure callback; its owner decides what to log.
    failure_ = e.what();
  }
  if (lines) {
    if (OnResult) OnResult(*this, std::move(lines));
  } else if (OnFailure) {
    OnFailure(*this);
  }
}
