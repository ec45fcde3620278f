// One thread writes every store's files behind the sets, at most once an interval per store.
#include "state_writer.h"

#include <sched.h>
#include <signal.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine_log.h"
#include "state_store.h"

namespace engine {

bool on_realtime_thread() {
  int policy = SCHED_OTHER;
  sched_param param{};
  if (pthread_getschedparam(pthread_self(), &policy, &param) != 0) return false;
  return policy == SCHED_FIFO || policy == SCHED_RR;
}

StateWriter& StateWriter::program() {
  // Never destroyed: the program's end drains it, and a late release may still post.
  static auto* writer = new StateWriter;
  return *writer;
}

StateWriter::StateWriter() = default;

void* StateWriter::run_thread(void* self) {
  // Signals are the host's to take, on its own threads.
  sigset_t all;
  sigfillset(&all);
  pthread_sigmask(SIG_BLOCK, &all, nullptr);
  static_cast<StateWriter*>(self)->run();
  return nullptr;
}

bool StateWriter::start_locked() {
  if (started_) return true;
  if (failed_) return false;
  // The first write may come from a thread the host made on PipeWire's data thread, which can
  // run SCHED_FIFO: the disk's waits must not run at real-time priority.
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setinheritsched(&attributes, PTHREAD_EXPLICIT_SCHED);
  pthread_attr_setschedpolicy(&attributes, SCHED_OTHER);
  sched_param param{};
  param.sched_priority = 0;
  pthread_attr_setschedparam(&attributes, &param);
  pthread_attr_setdetachstate(&attributes, PTHREAD_CREATE_DETACHED);
  const int error = pthread_create(&thread_, &attributes, run_thread, this);
  pthread_attr_destroy(&attributes);
  if (error != 0) {
    log(kError, std::string("Cannot start the state writer (") + std::strerror(error) +
                    "): state files are written as each set is answered");
    failed_ = true;
    return false;
  }
  started_ = true;
  pthread_setname_np(thread_, "palvex-writer");  // never ends, so the handle stays good
  // Registered after the host's loggers are made, so it runs before they go.
  std::atexit([] { program().drain(); });
  return true;
}

void StateWriter::post(StateStore& store, std::optional<std::string> state,
                       std::optional<std::string> onair,
                       const std::function<std::shared_ptr<void>()>& keep) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (!start_locked()) {
    lock.unlock();
    store.write_now(state ? &*state : nullptr, onair ? &*onair : nullptr);
    return;
  }
  auto it = pending_.find(&store);
  const bool known = it != pending_.end();
  if (!known) it = pending_.emplace(&store, Pending{}).first;
  // None while the writer lets a finished one go.
  if (!it->second.keep && keep) it->second.keep = keep();
  if (state) it->second.state = std::move(state);
  if (onair) it->second.onair = std::move(onair);
  // The writer has its turn for a store it knows already: a flood wakes it no more often.
  if (!known) wake_.notify_one();
}

void StateWriter::flush(StateStore& store, bool wait) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto it = pending_.find(&store);
  if (it == pending_.end()) return;
  it->second.urgent = true;
  wake_.notify_one();
  if (wait) done_.wait(lock, [&] { return pending_.count(&store) == 0; });
}

void StateWriter::drain() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (auto& entry : pending_) entry.second.urgent = true;
  wake_.notify_one();
  done_.wait(lock, [&] { return pending_.empty(); });
}

void StateWriter::run() {
  std::unique_lock<std::mutex> lock(mutex_);
  for (;;) {
    // The store whose turn comes first: an urgent one now, another an interval after its last.
    const auto now = std::chrono::steady_clock::now();
    StateStore* next = nullptr;
    auto due = std::chrono::steady_clock::time_point::max();
    for (auto& [store, pending] : pending_) {
      const auto at = pending.urgent ? now : store->last_write_ + kWriteInterval;
      if (at < due) {
        due = at;
        next = store;
      }
    }
    if (next == nullptr) {
      wake_.wait(lock);
      continue;
    }
    if (due > now) {
      wake_.wait_until(lock, due);
      continue;
    }
    Pending& pending = pending_[next];
    std::optional<std::string> state = std::move(pending.state), onair = std::move(pending.onair);
    pending.state.reset();
    pending.onair.reset();
    pending.urgent = false;
    next->last_write_ = now;
    lock.unlock();
    next->write_now(state ? &*state : nullptr, onair ? &*onair : nullptr);
    lock.lock();
    auto it = pending_.find(next);
    if (it->second.state || it->second.onair) continue;  // set again while it was written
    // The hold goes before anyone waiting hears of it, so that once the last process has
    // gone, the next one reads the file. It may end the configuration: not under the lock.
    std::shared_ptr<void> keep = std::move(it->second.keep);
    lock.unlock();
    keep.reset();
    lock.lock();
    it = pending_.find(next);
    if (it->second.state || it->second.onair) continue;  // set again meanwhile, with a hold
    pending_.erase(it);
    done_.notify_all();
  }
}

}  // namespace engine
