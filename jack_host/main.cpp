// palvex-jack: the engine as a JACK client with two inputs and two outputs.
#include <cstdlib>

#include "host_options.h"
#include "host_startup.h"
#include "log.h"
#include "log_bridge.h"
#include "signals.h"

std::shared_ptr<ProcessingInstance> current_instance;

int main(int argc, char** argv) {
  log_bootstrap();
  HostSettings settings = read_host_settings(argc, argv, HostVariant::jack);
  const HostDifferences jack_host{on_signal, 9};
  InstanceFactory factory;
  if (!run_startup_sequence(settings, jack_host, factory)) return 1;
  run_shutdown(jack_host, [] {}, current_instance);
}
