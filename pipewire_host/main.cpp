// palvex-pipewire: the engine as a PipeWire filter node with FL/FR DSP ports.
#include <pipewire/pipewire.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "host_data.h"
#include "host_options.h"
#include "host_startup.h"
#include "icon.h"
#include "log.h"
#include "log_bridge.h"
#include "pw_connection.h"
#include "pw_description.h"
#include "pw_filter_setup.h"
#include "pw_signal.h"
#include "signals.h"

namespace {

// pw_filter_new_simple's context reads client.conf, which loads no real-time module: the data
// thread, which runs the engine, would stay at normal priority and miss cycles under load.
// client-rt.conf asks for real-time priority, which the data thread gets where the system grants
// it (RLIMIT_RTPRIO or rtkit), and does without where it does not. Threads it starts when it
// replaces the instance inherit nothing of it: PipeWire sets the priority with
// SCHED_RESET_ON_FORK. A config the user named stays.
void use_realtime_client_config() { setenv("PIPEWIRE_CONFIG_NAME", "client-rt.conf", 0); }

// The set-up never got to run audio: nothing was started that needs stopping, and the exit
// handlers (the icon file's among them) still run on the way out.
int fail_setup(const char* text) {
  std::fputs(text, stderr);
  std::fputc('\n', stderr);
  return -1;
}

}  // namespace

int main(int argc, char** argv) {
  log_bootstrap();
  HostSettings settings;
  const int options = read_host_options(argc, argv, pipewire_description, settings);
  if (options != options_go_on) return options;
  InstanceFactory factory;
  if (!run_startup_sequence(settings, pipewire_description, factory)) return 1;

  HostData data;
  if (factory) data.instance_factory = factory;
  use_realtime_client_config();
  // The options were read already; PipeWire only looks for its own.
  pw_init(&argc, &argv);
  data.loop = pw_main_loop_new(nullptr);
  if (data.loop == nullptr) return fail_setup("can't create the PipeWire main loop");

  write_icon_file();
  const std::string application_name =
      settings.client_name.empty() ? pipewire_description.unnamed_client : settings.client_name;
  if (!create_filter(data, application_name)) return fail_setup("can't create the filter");
  if (connect_filter(data) < 0) return fail_setup("can't connect");
  // The core exists once the filter is connected. A daemon that goes away ends the wait
  // below like a stop signal, so that a supervisor sees the host end and can restart it.
  ConnectionWatch connection;
  watch_connection(connection, data.filter, data.loop);

  // A stop signal that came during the set-up, or comes before the loop runs, still ends it.
  watch_stop_flag(data);

  // From here on_pw_process runs on PipeWire's data thread; main waits for a stop signal or
  // the loss of the daemon.
  pw_main_loop_run(data.loop);

  run_shutdown(
      pipewire_description,
      [&data, &connection] {
        stop_watching_stop_flag(data);
        stop_watching_connection(connection);
        // Once it returns, no process cycle can touch the instance any more.
        pw_filter_destroy(data.filter);
        pw_main_loop_destroy(data.loop);
        pw_deinit();
      },
      data.instance);
}
