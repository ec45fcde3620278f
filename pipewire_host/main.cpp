// palvex-pipewire: the engine as a PipeWire filter node with FL/FR DSP ports.
#include <cstdlib>

#include "host_options.h"
#include "host_startup.h"
#include "log.h"
#include "log_bridge.h"
#include "signals.h"

int main(int argc, char** argv) {
  log_bootstrap();
  HostSettings settings = read_host_settings(argc, argv, HostVariant::pipewire);
  const HostDifferences pipewire_host{on_signal, 5};
  InstanceFactory factory;
  if (!run_startup_sequence(settings, pipewire_host, factory)) return 1;
  std::shared_ptr<ProcessingInstance> instance;
  run_shutdown(pipewire_host, [] {}, instance);
}
