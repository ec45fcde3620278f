// The JSON control port: a poll loop on the update thread serving several clients at once.
#pragma once

#include "config_tree.h"
#include "json_framer.h"
#include "json_port.h"

namespace engine {

// Serves the port until wake_fd becomes readable, accepting only while the lease is the newest;
// then closes its clients. The lease's socket stays open for the caller to give back. False
// when the loop itself failed (logged): its clients are closed, and the caller may serve again.
bool serve_json_port(ConfigTree& config, JsonPortLease& port, int wake_fd);

}  // namespace engine
