// Threads started on demand for the web server's connections.
#include "connection_threads.h"

#include "engine_log.h"

namespace engine {

// Small stacks: threads of the default 8 MiB would take much of a 32-bit board's address space
// at the limit. The request handling needs a few tens of KiB.
static constexpr size_t kStackBytes = 512 * 1024;

ConnectionThreads::ConnectionThreads(size_t max_threads) : max_threads_(max_threads) {}

ConnectionThreads::~ConnectionThreads() { shutdown(); }

void* ConnectionThreads::run(void* self) {
  static_cast<ConnectionThreads*>(self)->work();
  return nullptr;
}

void ConnectionThreads::enqueue(std::function<void()> task) {
  std::lock_guard<std::mutex> lock(mutex_);
  tasks_.push_back(std::move(task));
  if (tasks_.size() > idle_ && threads_.size() < max_threads_) {
    pthread_attr_t attributes;
    pthread_attr_init(&attributes);
    pthread_attr_setstacksize(&attributes, kStackBytes);
    pthread_t thread;
    // Without a new thread (out of resources) the connection waits for one that is running.
    if (pthread_create(&thread, &attributes, &ConnectionThreads::run, this) == 0)
      threads_.push_back(thread);
    else if (threads_.empty())
      log(kError, "Web server cannot start a thread for a connection");
    pthread_attr_destroy(&attributes);
  }
  wake_.notify_one();
}

void ConnectionThreads::work() {
  for (;;) {
    std::function<void()> task;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      ++idle_;
      wake_.wait(lock, [this] { return !tasks_.empty() || shutting_down_; });
      --idle_;
      if (tasks_.empty()) return;  // shutting down
      task = std::move(tasks_.front());
      tasks_.pop_front();
    }
    task();
  }
}

void ConnectionThreads::shutdown() {
  std::vector<pthread_t> threads;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    shutting_down_ = true;
    threads.swap(threads_);
  }
  wake_.notify_all();
  for (pthread_t thread : threads) pthread_join(thread, nullptr);
}

}  // namespace engine
