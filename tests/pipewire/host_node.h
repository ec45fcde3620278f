// The node a palvex-pipewire run shows in its daemon's graph.
#pragma once

#include <chrono>
#include <optional>

#include "host_run.h"
#include "pw_graph.h"

// The node "VELMOR Palvex" once all four ports show; the icon file it advertises is removed
// with the run.
std::optional<GraphNode> wait_for_host_node(
    HostRun& host, const PipeWireServer& server,
    std::chrono::milliseconds timeout = std::chrono::seconds(10));
