// The web server's threads: one for each connection that finds none free, up to a limit.
#pragma once

#include <pthread.h>

#include <httplib.h>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

namespace engine {

// The library ties a thread to a connection from its accept to its close, so a fixed pool of
// a few lets as many clients that trickle their requests starve everyone else. Here threads
// are added while connections wait, so slow clients hold only their own threads; past the
// limit, connections queue.
class ConnectionThreads : public httplib::TaskQueue {
public:
  explicit ConnectionThreads(size_t max_threads);
  ~ConnectionThreads() override;
  ConnectionThreads(const ConnectionThreads&) = delete;
  ConnectionThreads& operator=(const ConnectionThreads&) = delete;

  void enqueue(std::function<void()> task) override;
  void shutdown() override;  // ends once every queued connection has been served

private:
  static void* run(void* self);
  void work();

  const size_t max_threads_;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> tasks_;
  std::vector<pthread_t> threads_;
  size_t idle_ = 0;
  bool shutting_down_ = false;
};

}  // namespace engine
