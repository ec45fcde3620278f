// The JSON control port: a poll loop on the update thread serving several clients at once.
#pragma once

#include "config_tree.h"
#include "json_port.h"

namespace engine {

constexpr size_t kMaxRequestBytes = 64 * 1024;

// Serves the port until wake_fd becomes readable, accepting only while the lease is the newest;
// then closes its clients. The lease's socket stays open for the caller to give back.
void serve_json_port(ConfigTree& config, JsonPortLease& port, int wake_fd);

}  // namespace engine
