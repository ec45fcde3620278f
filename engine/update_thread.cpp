// The update loop: the host lends a thread, the engine serves its control port on it.
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <memory>

#include "engine_log.h"
#include "json_port.h"
#include "json_server.h"
#include "process.h"

using Loop = palvex_ProcessData::Loop;

static void set_loop(palvex_Process process, Loop state) {
  std::lock_guard<std::mutex> lock(process->mutex);
  process->loop = state;
  process->changed.notify_all();
}

// A loop that failed (poll itself) starts again after a rest that grows while it keeps failing:
// the host never looks at this thread's result, so giving up would leave the port dead.
static void serve_until_stopped(palvex_Process process, engine::JsonPortLease& port) {
  constexpr auto kFirstRest = std::chrono::milliseconds(100);
  constexpr auto kLongestRest = std::chrono::seconds(10);
  constexpr auto kServedWell = std::chrono::minutes(1);
  auto rest = kFirstRest;
  for (;;) {
    const auto started = std::chrono::steady_clock::now();
    if (engine::serve_json_port(*process->config, port, process->wake_fd)) return;
    if (std::chrono::steady_clock::now() - started >= kServedWell) rest = kFirstRest;
    engine::log(engine::kError,
                "JSON control port: listening again in " + std::to_string(rest.count()) + " ms");
    std::unique_lock<std::mutex> lock(process->mutex);
    if (process->changed.wait_for(lock, rest, [&] { return process->stop_requested; })) return;
    rest = std::min<std::chrono::milliseconds>(rest * 2, kLongestRest);
  }
}

extern "C" {

int palvex_StartUpdateThread(palvex_Process process, int json_port) {
  if (process == nullptr) return -1;
  {
    std::lock_guard<std::mutex> lock(process->mutex);
    if (process->loop != Loop::kNotStarted) return -1;  // one loop per process
    if (process->stop_requested) {
      process->loop = Loop::kEnded;
      process->changed.notify_all();
      return 0;
    }
  }
  std::unique_ptr<engine::JsonPortLease> port;
  if (json_port != 0) {
    port = engine::JsonPortLease::take(json_port);
    if (!port) {
      set_loop(process, Loop::kFailed);
      return -1;
    }
  } else {
    engine::log(engine::kVerb, "No JSON control port");
  }
  // The metadata has arrived by now, so the on-air view is complete.
  process->config->write_onair();
  set_loop(process, Loop::kReady);
  if (port) {
    serve_until_stopped(process, *port);
    port.reset();  // given back before the process can end
  } else {
    pollfd wake{process->wake_fd, POLLIN, 0};
    while (poll(&wake, 1, -1) < 0) {
    }
  }
  set_loop(process, Loop::kEnded);
  return 0;
}

int palvex_WaitUpdateThreadReady(palvex_Process process, int timeout) {
  if (process == nullptr) return -1;
  std::unique_lock<std::mutex> lock(process->mutex);
  const bool settled =
      process->changed.wait_for(lock, std::chrono::milliseconds(timeout < 0 ? 0 : timeout),
                                [&] { return process->loop != Loop::kNotStarted; });
  if (!settled) {
    engine::log(engine::kError, "Update thread not ready after " + std::to_string(timeout) + " ms");
    return -2;
  }
  return process->loop == Loop::kReady ? 0 : -1;
}

int palvex_StopUpdateThread(palvex_Process process) {
  if (process == nullptr) return -1;
  {
    std::lock_guard<std::mutex> lock(process->mutex);
    process->stop_requested = true;
    process->changed.notify_all();
  }
  uint64_t one = 1;
  // An eventfd write only fails when the counter would overflow: it is already signalled.
  if (write(process->wake_fd, &one, sizeof one) < 0) {
  }
  return 0;
}

}  // extern "C"
