// The stop flag and the SIGINT/SIGTERM handler: a stop is only recorded, main does the work.
#include "signals.h"

#include <csignal>

static_assert(std::atomic<unsigned char>::is_always_lock_free,
              "the stop flag is written from a signal handler");

std::atomic<unsigned char> stop_requested{0};

void restore_default_stop_signals() {
  std::signal(SIGABRT, SIG_DFL);
  std::signal(SIGINT, SIG_DFL);
  std::signal(SIGTERM, SIG_DFL);
}

extern "C" void on_signal(int /*signal_number*/) {
  // Defaults first: a second stop signal, say during a shutdown that hangs, ends the process.
  restore_default_stop_signals();
  stop_requested.store(1, std::memory_order_relaxed);
}
