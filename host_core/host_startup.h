// The start-up sequence and the shutdown skeleton that both audio hosts run.
#pragma once

#include <functional>
#include <memory>

#include "host_description.h"
#include "host_options.h"
#include "processing_instance.h"

// Log levels, engine log bridge, JSON port default, banner, deferred texts, engine format
// checks, factory and stop handlers. False after a format mismatch (logged): main returns 1.
bool run_startup_sequence(HostSettings& settings, const HostDescription& host,
                          InstanceFactory& factory);

// Logs, sets the stop flag, closes the sound-server side, stops the live instance, prints what
// the real-time log queue still holds, logs the last line and exits.
// exit_status: 1 after a set-up that failed or a JACK period that was rejected, so that the
// operator or a supervisor sees it.
[[noreturn]] void run_shutdown(const HostDescription& host,
                               const std::function<void()>& close_sound_server,
                               const std::shared_ptr<ProcessingInstance>& live_instance,
                               int exit_status = 0);

// Steps of the sequence, on their own for tests.
// With no web port and no JSON port the JSON port becomes 5010, also after an explicit -j 0.
void apply_json_port_default(HostConfig& config);
// Throws std::runtime_error ("Bad library sampling rate", ...) at the first wrong value.
void check_engine_format();
