// What a test needs of a PipeWire daemon's graph, read through pw-dump: nodes, their ports
// and properties; and links made with pw-link by port id.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pipewire_server.h"

struct GraphPort {
  uint32_t id;
  std::string direction;  // "in" or "out"
  std::string name;       // port.name
  nlohmann::json props;
};

struct GraphNode {
  uint32_t id;
  nlohmann::json props;
  std::vector<GraphPort> ports;  // in pw-dump's order
  // The port of that direction and name; nullopt when there is none.
  std::optional<GraphPort> port(const std::string& direction, const std::string& name) const;
};

// The node whose property key has the value, with its ports, from one pw-dump.
std::optional<GraphNode> find_node(const PipeWireServer& server, const std::string& key,
                                   const std::string& value);
// Polls until that node shows ports_wanted ports, or the time-out passes.
std::optional<GraphNode> wait_for_node(const PipeWireServer& server, const std::string& key,
                                       const std::string& value, size_t ports_wanted,
                                       std::chrono::milliseconds timeout);
// pw-link OUT IN; true when it succeeded.
bool link_ports(const PipeWireServer& server, uint32_t out_port, uint32_t in_port);
