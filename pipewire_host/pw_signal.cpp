// The PipeWire host's stop-signal handler: the first SIGINT/SIGTERM quits the main loop.
#include "pw_signal.h"

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
  if (host != nullptr && host->loop != nullptr) pw_main_loop_quit(host->loop);
}
