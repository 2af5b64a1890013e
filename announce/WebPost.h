// TWebPost: the background thread that announces every running virtual
// server to the public server list. It waits half a period, runs one
// announcement cycle (announce/Announcement.h), waits the other half, and
// so on: a cycle every 300 s plus the time the cycle takes.
//
// Ownership: start-up creates it (running) when "Enabled" of [WebPost] is
// on; shutdown calls Terminate and destroys it, which joins the thread.
// The waits check the terminate flag every 250 ms, and a request in
// progress is aborted by it, so the thread ends within about a second.
// Thread-safety: Terminate may be called from any thread.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "announce/Announcement.h"

class TWebPost {
 public:
  struct TOptions {
    TAnnouncementEnvironment Environment;
    std::chrono::milliseconds WaitStep{250};
    int HalfPeriodSteps = 150 * 4;  // 150 s in steps of 250 ms
    // Makes the HTTP client of the announcements; none: the real one. Tests
    // put one here that fails.
    std::function<std::unique_ptr<THttpClient>(THttpClient::TOptions)> MakeClient;
  };

  explicit TWebPost(TOptions options);
  ~TWebPost();  // terminates and joins
  TWebPost(const TWebPost&) = delete;
  TWebPost& operator=(const TWebPost&) = delete;

  void Terminate() { terminate_.store(true); }
  bool Terminated() const { return terminate_.load(); }
  // Blocks until the thread has ended.
  void WaitFor();

 private:
  // Each cycle runs with the HTTP client made for the first one; a cycle
  // that fails, or a client that cannot be made, is logged and the next
  // cycle runs as usual (making the client again if need be).
  void Execute();
  std::unique_ptr<THttpClient> NewClient();
  // False once the thread is told to stop.
  bool Wait();

  TOptions options_;
  std::atomic<bool> terminate_{false};
  std::thread thread_;
};
