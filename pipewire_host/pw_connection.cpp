// The PipeWire host's watch on its daemon: a lost connection ends the main loop.
#include "pw_connection.h"

#include <pipewire/core.h>
#include <pipewire/filter.h>
#include <pipewire/main-loop.h>

#include <cerrno>

#include "log.h"

namespace {

// The protocol reports a socket that hung up or failed as -EPIPE on the core itself; other
// errors belong to single objects, and the filter deals with its own.
void on_core_error(void* data, uint32_t id, int /*seq*/, int res, const char* message) {
  auto& watch = *static_cast<ConnectionWatch*>(data);
  if (id != PW_ID_CORE || res != -EPIPE || watch.lost) return;
  watch.lost = true;
  PALVEX_LOG(main_logger, 2,
             "PipeWire connection lost: " << (message != nullptr ? message : "no reason given"));
  pw_main_loop_quit(watch.loop);
}

const pw_core_events core_events = [] {
  pw_core_events events{};
  events.version = PW_VERSION_CORE_EVENTS;
  events.error = on_core_error;
  return events;
}();

}  // namespace

void watch_connection(ConnectionWatch& watch, pw_filter* filter, pw_main_loop* loop) {
  pw_core* core = pw_filter_get_core(filter);
  if (core == nullptr) return;
  watch.loop = loop;
  pw_core_add_listener(core, &watch.listener, &core_events, &watch);
  watch.watching = true;
}

void stop_watching_connection(ConnectionWatch& watch) {
  if (!watch.watching) return;
  spa_hook_remove(&watch.listener);
  watch.watching = false;
}
