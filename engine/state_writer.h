// The program's writer of state files: a set is answered at once and its files follow, the
// latest value winning, so that no client and no audio thread waits for the disk.
#pragma once

#include <pthread.h>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace engine {

class StateStore;

// At most one write of a store's files per interval: a flood of sets costs ten writes a second.
constexpr auto kWriteInterval = std::chrono::milliseconds(100);

class StateWriter {
public:
  // The one writer of the program; its thread starts with the first write.
  static StateWriter& program();

  // The latest texts for the store's files (none: that file stays as it is). keep is called
  // when nothing waits for the store yet: what it answers (a lease on the configuration) is
  // held until the store's files are written, so the store lives and a process made meanwhile
  // joins its configuration.
  void post(StateStore& store, std::optional<std::string> state, std::optional<std::string> onair,
            const std::function<std::shared_ptr<void>()>& keep);
  // Writes what waits for the store without the interval's pause; with wait, returns once it is
  // on disk.
  void flush(StateStore& store, bool wait);
  // Everything that waits, written now; the program's end waits for it.
  void drain();

private:
  struct Pending {
    std::optional<std::string> state, onair;
    std::shared_ptr<void> keep;
    bool urgent = false;
  };

  StateWriter();
  bool start_locked();
  static void* run_thread(void* self);
  void run();

  std::mutex mutex_;
  std::condition_variable wake_;  // the thread: something to write, or sooner
  std::condition_variable done_;  // those who wait for a store's files
  std::map<StateStore*, Pending> pending_;
  bool started_ = false, failed_ = false;
  pthread_t thread_{};
};

// True on a thread with a real-time policy (PipeWire's data thread): it must not wait.
bool on_realtime_thread();

}  // namespace engine
