// The start-up sequence and the shutdown skeleton that both audio hosts run.
#pragma once

#include <functional>
#include <memory>

#include "host_options.h"
#include "processing_instance.h"

// What differs between the JACK host and the PipeWire host here.
struct HostDifferences {
  void (*stop_handler)(int);  // installed for SIGTERM, then SIGINT
  int shutdown_level;         // level of "MAIN stopping" and "MAIN exiting now"
};

// Log levels, engine log bridge, JSON port default, banner, deferred texts, engine format
// checks, factory and stop handlers. False after a format mismatch (logged): main returns 1.
bool run_startup_sequence(HostSettings& settings, const HostDifferences& host,
                          InstanceFactory& factory);

// Logs, sets the stop flag, closes the sound-server side, stops the live instance, exit(0).
// exit_status: 1 after a set-up that failed with an exception or a JACK period that was
// rejected, so that the operator or a supervisor sees it.
[[noreturn]] void run_shutdown(const HostDifferences& host,
                               const std::function<void()>& close_sound_server,
                               const std::shared_ptr<ProcessingInstance>& live_instance,
                               int exit_status = 0);

// Steps of the sequence, on their own for tests.
// With no web port and no JSON port the JSON port becomes 5010, also after an explicit -j 0.
void apply_json_port_default(HostSettings& settings);
// Throws std::runtime_error ("Bad library sampling rate", ...) at the first wrong value.
void check_engine_format();
HostConfig make_host_config(const HostSettings& settings);
