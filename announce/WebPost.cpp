#include "announce/WebPost.h"

#include <exception>

#include "announce/HttpClient.h"

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
  try {
    // No proxy for the list: it is reached directly, from BoundToIp when set.
    THttpClient::TOptions http;
    http.BindAddress = options_.Environment.BindAddress;
    http.Abort = &terminate_;
    THttpClient client(std::move(http));
    while (Wait()) {
      try {
        RunAnnouncementCycle(client, options_.Environment, terminate_);
      } catch (const std::exception&) {
        // A cycle that fails is simply lost; the next one runs as usual.
      }
      if (!Wait()) break;
    }
  } catch (const std::exception&) {
    // Without an HTTP client there is nothing to announce with.
  }
}
