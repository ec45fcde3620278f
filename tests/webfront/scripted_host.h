// A JSON port on 127.0.0.1 played by the test: it answers what it is told to, on any number
// of connections at once.
#pragma once

#include <atomic>
#include <mutex>
#include <string>
#include <thread>

class ScriptedHost {
public:
  ScriptedHost();  // listens on a free port; throws when it cannot
  ~ScriptedHost();
  ScriptedHost(const ScriptedHost&) = delete;
  ScriptedHost& operator=(const ScriptedHost&) = delete;

  int port() const { return port_; }
  // What every request line from now on gets; "" answers nothing at all.
  void answer_with(std::string reply);
  // Sent a moment after each reply, as a second write.
  void then_send(std::string late);
  int requests() const { return requests_; }
  int late_ones_sent() const { return late_sent_; }
  // Waits (bounded) until the host has read this many requests in all.
  bool wait_for_requests(int count) const;

private:
  void answer(int fd);
  void serve();

  int listen_fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0}, late_sent_{0};
  std::mutex mutex_;
  std::string reply_, late_;
  std::thread thread_;
};
