// The PipeWire host's stop-signal handler: the first SIGINT/SIGTERM ends the main loop.
#include "pw_signal.h"

#include <pipewire/loop.h>
#include <pipewire/main-loop.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdint>

#include "host_data.h"
#include "signals.h"

namespace {

static_assert(std::atomic<int>::is_always_lock_free, "read from a signal handler");

// The eventfd on_pw_signal writes to, -1 before the first watch. Made once and never closed:
// a handler that runs on another thread while main takes the loop down, or after, still
// writes to this descriptor and never to one that was closed or given to something else.
std::atomic<int> wake_fd{-1};

// Main thread only.
int wake_descriptor() {
  int fd = wake_fd.load(std::memory_order_relaxed);
  if (fd < 0) {
    fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (fd >= 0) wake_fd.store(fd, std::memory_order_relaxed);
  }
  return fd;
}

void wake(int fd) {
  const uint64_t one = 1;
  // Full only after 2^64 - 1 wakes that nobody read: there is nothing to do about it.
  [[maybe_unused]] const ssize_t written = write(fd, &one, sizeof one);
}

// On the main loop's thread.
void on_wake(void* data, int fd, uint32_t /*mask*/) {
  uint64_t count;
  [[maybe_unused]] const ssize_t read_bytes = read(fd, &count, sizeof count);
  if (stop_requested.load(std::memory_order_relaxed) != 0)
    pw_main_loop_quit(static_cast<pw_main_loop*>(data));
}

}  // namespace

extern "C" void on_pw_signal(int /*signal_number*/) {
  const int saved_errno = errno;
  // Defaults first: a second stop signal, say during a shutdown that hangs, ends the process.
  restore_default_stop_signals();
  stop_requested.store(1, std::memory_order_relaxed);
  // Before the first watch there is nothing to wake; the watch looks at the flag as it starts.
  const int fd = wake_fd.load(std::memory_order_relaxed);
  if (fd >= 0) wake(fd);
  errno = saved_errno;
}

void watch_stop_flag(HostData& host) {
  const int fd = wake_descriptor();
  if (fd < 0) return;
  pw_loop* loop = pw_main_loop_get_loop(host.loop);
  // The loop must leave the descriptor open when the source goes.
  spa_source* source = pw_loop_add_io(loop, fd, SPA_IO_IN, false, on_wake, host.loop);
  if (source == nullptr) return;
  host.stop_event = source;
  // The first look, for a signal that came before the watch.
  wake(fd);
}

void stop_watching_stop_flag(HostData& host) {
  if (host.stop_event == nullptr) return;
  spa_source* source = host.stop_event;
  host.stop_event = nullptr;
  pw_loop_destroy_source(pw_main_loop_get_loop(host.loop), source);
}
