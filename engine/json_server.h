// The JSON control port: a poll loop on the update thread serving several clients at once.
#pragma once

#include "config_tree.h"

namespace engine {

constexpr size_t kMaxRequestBytes = 64 * 1024;

// Opens the listening socket on 0.0.0.0:port; -1 (logged) when it cannot listen.
int open_json_port(int port);
// Serves on listen_fd until wake_fd becomes readable; closes listen_fd and every client.
void serve_json_port(ConfigTree& config, int listen_fd, int wake_fd);

}  // namespace engine
