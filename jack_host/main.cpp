// palvex-jack: the engine as a JACK client with two inputs and two outputs.
#include <unistd.h>

#include <cstdlib>
#include <exception>

#include "host_options.h"
#include "host_startup.h"
#include "jack_description.h"
#include "jack_host.h"
#include "log.h"
#include "log_bridge.h"
#include "signals.h"

namespace {

enum class WaitEnd { stop_requested, period_rejected };

// The audio runs on JACK's thread; main only looks at the flags once a second. A rejected
// period comes first: after it no audio passes, whatever else asked for the stop.
WaitEnd wait_for_stop() {
  for (;;) {
    if (rejected_period.seen.load(std::memory_order_acquire) != 0) return WaitEnd::period_rejected;
    if (stop_requested.load(std::memory_order_relaxed) != 0) return WaitEnd::stop_requested;
    sleep(1);
  }
}

// jackd2 has deactivated the client: a host left running would look healthy with dead audio.
// Ending with status 1 lets a supervisor restart it with a chunk that fits the new size.
void report_rejected_period() {
  PALVEX_LOG(main_logger, 2,
             "JACK stopped the client after a rejected period of "
                 << rejected_period.frames.load(std::memory_order_relaxed)
                 << " frames: the host needs a JACK buffer size that is a multiple of its chunk of "
                 << rejected_period.chunk.load(std::memory_order_relaxed) << " frames");
}

// Open only after a set-up that succeeded, or one that an exception cut short.
void close_jack_client() {
  if (jack_client == nullptr) return;
  jack_client_close(jack_client);
  jack_client = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  log_bootstrap();
  HostSettings settings;
  const int options = read_host_options(argc, argv, jack_description, settings);
  if (options != options_go_on) return options;
  InstanceFactory factory;
  if (!run_startup_sequence(settings, jack_description, factory)) return 1;

  int set_up = 0;
  int exit_status = 0;
  try {
    set_up = setup_jack(factory, settings.client_name.c_str(), settings.session_id.c_str());
  } catch (const std::exception& error) {
    // The engine gave no parameter set, or the update thread could not start: still shut
    // down in order, but the operator must see that the host failed.
    PALVEX_LOG(main_logger, 1, "Fatal error while setting up: " << error.what());
    exit_status = 1;
  } catch (...) {
    PALVEX_LOG(main_logger, 1, "Fatal error while setting up: unknown exception");
    exit_status = 1;
  }
  if (set_up != 1) {
    // No server, a JSON or web port taken, no ports, no activation: a start that failed, which
    // a supervisor must be able to restart and a script to tell from a normal end.
    exit_status = 1;
  } else if (wait_for_stop() == WaitEnd::period_rejected) {
    report_rejected_period();
    exit_status = 1;
  }
  run_shutdown(jack_description, close_jack_client, current_instance, exit_status);
}
