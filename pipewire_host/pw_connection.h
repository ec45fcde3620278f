// The PipeWire host's watch on its daemon: a lost connection ends the main loop.
#pragma once

#include <spa/utils/hook.h>

struct pw_filter;
struct pw_main_loop;

// Lives in main for as long as the filter. Touched only on the main loop's thread, where the
// core's events come in; the data thread never sees it.
struct ConnectionWatch {
  spa_hook listener{};           // on the filter's core
  pw_main_loop* loop = nullptr;  // quit when the daemon goes
  bool watching = false;         // the listener is on the core's list
  bool lost = false;             // the daemon went away; logged once
};

// Listens for the core's error event; on a broken connection (-EPIPE) logs one ERROR line and
// quits the loop, so that the normal shutdown runs instead of an idle wait for a daemon that
// is gone.
void watch_connection(ConnectionWatch& watch, pw_filter* filter, pw_main_loop* loop);
// Takes the listener off the core; call before pw_filter_destroy.
void stop_watching_connection(ConnectionWatch& watch);
