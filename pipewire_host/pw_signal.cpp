// The PipeWire host's stop-signal handler: the first SIGINT/SIGTERM quits the main loop.
#include "pw_signal.h"

#include <pipewire/loop.h>
#include <pipewire/main-loop.h>

#include "host_data.h"
#include "signals.h"

static_assert(std::atomic<HostData*>::is_always_lock_free, "read from a signal handler");

std::atomic<HostData*> current_host{nullptr};

extern "C" void on_pw_signal(int /*signal_number*/) {
  // Defaults first: a second stop signal, say during a shutdown that hangs, ends the process.
  restore_default_stop_signals();
  stop_requested.store(1, std::memory_order_relaxed);
  HostData* host = current_host.load(std::memory_order_relaxed);
  // Before the loop exists there is nothing to quit; the next signal then ends the process.
  if (host == nullptr || host->loop == nullptr) return;
  pw_main_loop_quit(host->loop);
  // An eventfd write: it stays pending until the loop polls, however late that is.
  if (host->stop_event != nullptr)
    pw_loop_signal_event(pw_main_loop_get_loop(host->loop), host->stop_event);
}

namespace {

void on_stop_event(void* data, uint64_t /*count*/) {
  auto* loop = static_cast<pw_main_loop*>(data);
  if (stop_requested.load(std::memory_order_relaxed) != 0) pw_main_loop_quit(loop);
}

}  // namespace

void watch_stop_flag(HostData& host) {
  pw_loop* loop = pw_main_loop_get_loop(host.loop);
  spa_source* event = pw_loop_add_event(loop, on_stop_event, host.loop);
  if (event == nullptr) return;
  host.stop_event = event;
  // The first look, for a signal that came before the event existed.
  pw_loop_signal_event(loop, event);
}

void stop_watching_stop_flag(HostData& host) {
  if (host.stop_event == nullptr) return;
  spa_source* event = host.stop_event;
  host.stop_event = nullptr;
  pw_loop_destroy_source(pw_main_loop_get_loop(host.loop), event);
}
