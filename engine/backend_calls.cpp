// Worker threads for the web server's backend calls.
#include "backend_calls.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <system_error>
#include <thread>
#include <vector>

#include "engine_log.h"
#include "protocol.h"

namespace engine {

// A few calls at once: the local configuration answers in microseconds, and a remote host's
// calls are bounded in time. Only logged-in clients get this far.
static constexpr size_t kWorkers = 4;
static constexpr size_t kMostWaiting = 256;

struct BackendCalls::Shared {
  std::mutex mutex;  // guards what follows
  std::condition_variable wake;
  std::deque<std::shared_ptr<BackendCall>> waiting;
  std::vector<std::shared_ptr<BackendCall>> running;
  size_t workers = 0, idle = 0;
  bool stopping = false;
};

BackendCalls::BackendCalls() : shared_(std::make_shared<Shared>()) {}

BackendCalls::~BackendCalls() { stop(); }

static void finish(BackendCall& call, WebReply reply) {
  std::lock_guard<std::mutex> lock(call.mutex);
  if (call.finished) return;  // answered by a stop
  call.reply = std::move(reply);
  call.finished = true;
  MHD_resume_connection(call.connection);
}

bool BackendCalls::submit(const std::shared_ptr<BackendCall>& call) {
  std::lock_guard<std::mutex> lock(shared_->mutex);
  if (shared_->stopping || shared_->waiting.size() >= kMostWaiting) return false;
  // Under the lock, so that a stop finds every suspended connection and resumes it.
  MHD_suspend_connection(call->connection);
  shared_->waiting.push_back(call);
  if (shared_->idle == 0 && shared_->workers < kWorkers) {
    // Writes to a closed socket must not end the program: the thread keeps SIGPIPE blocked.
    sigset_t pipe, old;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, &old);
    try {
      std::thread([shared = shared_] { work(shared); }).detach();
      ++shared_->workers;
    } catch (const std::system_error&) {
      if (shared_->workers == 0) log(kError, "Web server cannot start a thread for its backend");
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
  }
  shared_->wake.notify_one();
  return true;
}

void BackendCalls::work(const std::shared_ptr<Shared>& shared) {
  std::unique_lock<std::mutex> lock(shared->mutex);
  for (;;) {
    ++shared->idle;
    shared->wake.wait(lock, [&] { return !shared->waiting.empty() || shared->stopping; });
    --shared->idle;
    if (shared->stopping) break;
    std::shared_ptr<BackendCall> call = std::move(shared->waiting.front());
    shared->waiting.pop_front();
    shared->running.push_back(call);
    lock.unlock();
    WebReply reply{500, error_reply("Internal error")};
    try {
      reply = call->changes ? call->backend->set(*call->changes) : call->backend->get();
    } catch (const std::exception&) {
    }
    finish(*call, std::move(reply));
    lock.lock();
    auto& running = shared->running;
    running.erase(std::find(running.begin(), running.end(), call));
  }
  --shared->workers;
}

void BackendCalls::stop() {
  std::vector<std::shared_ptr<BackendCall>> open;
  {
    std::lock_guard<std::mutex> lock(shared_->mutex);
    if (shared_->stopping) return;
    shared_->stopping = true;
    open.assign(shared_->waiting.begin(), shared_->waiting.end());
    open.insert(open.end(), shared_->running.begin(), shared_->running.end());
    shared_->waiting.clear();
  }
  shared_->wake.notify_all();
  std::vector<WebBackend*> abandoned;
  for (const auto& call : open) {
    if (std::find(abandoned.begin(), abandoned.end(), call->backend.get()) != abandoned.end())
      continue;
    abandoned.push_back(call->backend.get());
    call->backend->abandon();
  }
  for (const auto& call : open) finish(*call, {503, error_reply("Web server stopping")});
}

}  // namespace engine
