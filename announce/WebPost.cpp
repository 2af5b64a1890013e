#include "announce/WebPost.h"

#include <exception>

#include "announce/HttpClient.h"
#include "common/CaughtLog.h"

namespace {

constexpr const char* kSource = "WEBPOST";

}  // namespace

TWebPost::TWebPost(TOptions options) : options_(std::move(options)) {
  thread_ = std::thread([this] { Execute(); });
}

TWebPost::~TWebPost() {
  Terminate();
  WaitFor();
}

void TWebPost::WaitFor() {
  if (thread_.joinable()) thread_.join();
}

bool TWebPost::Wait() {
  for (int i = 0; i < options_.HalfPeriodSteps; ++i) {
    if (terminate_.load()) return false;
    std::this_thread::sleep_for(options_.WaitStep);
  }
  return !terminate_.load();
}

void TWebPost::Execute() {
  // Once a cycle at most: the limiter only keeps a fault that repeats at
  // once (a client that cannot be made) from filling the log.
  TLogRateLimiter errorLines(SystemClock());
  std::unique_ptr<THttpClient> client;
  while (Wait()) {
    try {
      // Made again for the next cycle when it could not be made: a fault of
      // the moment must not end the announcements for good.
      if (!client) client = NewClient();
      RunAnnouncementCycle(*client, options_.Environment, terminate_);
    } catch (...) {
      LogCaughtLimited(errorLines, kSource, "TWebPost.Execute");
    }
    if (!Wait()) break;
  }
}

std::unique_ptr<THttpClient> TWebPost::NewClient() {
  // No proxy for the list: it is reached directly, from BoundToIp when set.
  THttpClient::TOptions http;
  http.BindAddress = options_.Environment.BindAddress;
  http.Abort = &terminate_;
  if (options_.MakeClient) return options_.MakeClient(std::move(http));
  return std::make_unique<THttpClient>(std::move(http));
}
