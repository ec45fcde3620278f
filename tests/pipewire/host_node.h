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

// Links the test source ("palvex-test-source") into the host's FL/FR inputs and, with
// to_recorder, the host's outputs into the test recorder ("palvex-test-recorder"), so that
// PipeWire schedules the host. False when a node or a link is missing.
bool link_probe_through(const PipeWireServer& server, const GraphNode& palvex, bool to_recorder);
