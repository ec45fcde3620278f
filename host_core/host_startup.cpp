// The middle of both audio hosts' main, between the options and the sound server, and their end.
#include "host_startup.h"

#include <csignal>
#include <cstdlib>
#include <stdexcept>

#include "log.h"
#include "log_bridge.h"
#include "palvex.h"
#include "signals.h"
#include "version_line.h"

namespace {

constexpr uint16_t default_json_port = 5010;

struct FormatCheck {
  int (*query)();
  int required;
  const char* error_text;
};

// The one format the hosts move audio in; checked in this order, the first mismatch ends it.
const FormatCheck format_checks[] = {
    {palvex_GetSampleRate, 48000, "Bad library sampling rate"},
    {palvex_GetChunkSizeInFrames, 64, "Bad library frame size"},
    {palvex_GetChannelCount, 2, "Bad library channel count"},
    {palvex_GetAudioInputCount, 1, "Bad library input count"},
    {palvex_GetAudioOutputCount, 1, "Bad library output count"},
};

}  // namespace

void apply_json_port_default(HostConfig& config) {
  if (config.json_port == 0 && config.http_port == 0 && config.https_port == 0)
    config.json_port = default_json_port;
}

void check_engine_format() {
  for (const FormatCheck& check : format_checks)
    if (check.query() != check.required) throw std::runtime_error(check.error_text);
}

bool run_startup_sequence(HostSettings& settings, const HostDescription& host,
                          InstanceFactory& factory) {
  set_log_levels(settings.verbosity);
  start_log_queue_printer();
  palvex_SetLogSeverity(settings.verbosity);

  // The sink first: from the registration on, engine threads may call back at any time.
  log_sink = forward_library_log;
  palvex_SetLoggerCallback(on_library_log);

  apply_json_port_default(settings.config);

  PALVEX_LOG(main_logger, 4, "VELMOR Palvex Version " << engine_version_text());
  // Read before the level was known, so held back until now.
  for (const std::string& text : settings.deferred_texts) PALVEX_LOG(main_logger, 6, text);

  try {
    check_engine_format();
  } catch (const std::runtime_error& error) {
    PALVEX_LOG(main_logger, 2, error.what());
    return false;
  }

  factory = make_instance_factory(settings.config);

  // Not before the factory exists: until here a stop signal simply ends the process.
  std::signal(SIGTERM, host.stop_handler);
  std::signal(SIGINT, host.stop_handler);
  return true;
}

void run_shutdown(const HostDescription& host, const std::function<void()>& close_sound_server,
                  const std::shared_ptr<ProcessingInstance>& live_instance, int exit_status) {
  PALVEX_LOG(main_logger, host.shutdown_level, "MAIN stopping");
  if (stop_requested.load(std::memory_order_relaxed) == 0)
    stop_requested.store(1, std::memory_order_relaxed);
  // The audio side goes first: its callbacks read the instance without a lock.
  if (close_sound_server) close_sound_server();
  if (live_instance) live_instance->stop();
  // The audio side is closed, so nothing queues any more: what the last cycles queued comes
  // out now, before the last line, not from the exit handlers after it.
  stop_log_queue_printer();
  PALVEX_LOG(main_logger, host.shutdown_level, "MAIN exiting now");
  std::exit(exit_status);
}
