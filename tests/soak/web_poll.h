// A logged-in client of the engine's web API that reads the configuration over and over.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

struct WebPollFigures {
  bool logged_in = false;
  uint64_t polls = 0;          // /api/config answered 200 with the configuration
  uint64_t wrong_replies = 0;  // any other answer
  std::string first_wrong;
};

class WebPoll {
public:
  // Logs in at 127.0.0.1:port, then polls every `every` until finish() or the deadline.
  WebPoll(int port, const std::string& user, const std::string& secret,
          std::chrono::milliseconds every, std::chrono::steady_clock::time_point deadline);
  ~WebPoll();
  WebPoll(const WebPoll&) = delete;
  WebPoll& operator=(const WebPoll&) = delete;
  WebPollFigures finish();

private:
  void run();
  int port_;
  std::string user_, secret_;
  std::chrono::milliseconds every_;
  std::chrono::steady_clock::time_point deadline_;
  std::atomic<bool> stop_{false};
  WebPollFigures figures_;
  std::thread thread_;
};
