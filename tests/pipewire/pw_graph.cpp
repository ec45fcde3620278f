// The graph of a test's PipeWire daemon, as pw-dump shows it.
#include "pw_graph.h"

#include <thread>

std::optional<GraphPort> GraphNode::port(const std::string& direction,
                                         const std::string& name) const {
  for (const GraphPort& candidate : ports)
    if (candidate.direction == direction && candidate.name == name) return candidate;
  return std::nullopt;
}

namespace {

const nlohmann::json* props_of(const nlohmann::json& object) {
  auto info = object.find("info");
  if (info == object.end() || !info->is_object()) return nullptr;
  auto props = info->find("props");
  return props != info->end() && props->is_object() ? &*props : nullptr;
}

}  // namespace

std::optional<GraphNode> find_node(const PipeWireServer& server, const std::string& key,
                                   const std::string& value) {
  const nlohmann::json objects = nlohmann::json::parse(server.dump(), nullptr, false);
  if (!objects.is_array()) return std::nullopt;
  std::optional<GraphNode> node;
  for (const nlohmann::json& object : objects) {
    const nlohmann::json* props = props_of(object);
    if (props != nullptr && object.value("type", "") == "PipeWire:Interface:Node" &&
        props->value(key, "") == value)
      node = GraphNode{object.value("id", 0u), *props, {}};
  }
  if (!node) return std::nullopt;
  for (const nlohmann::json& object : objects) {
    const nlohmann::json* props = props_of(object);
    if (props == nullptr || object.value("type", "") != "PipeWire:Interface:Port") continue;
    if (props->value("node.id", 0u) != node->id) continue;
    node->ports.push_back({object.value("id", 0u), props->value("port.direction", ""),
                           props->value("port.name", ""), *props});
  }
  return node;
}

std::optional<GraphNode> wait_for_node(const PipeWireServer& server, const std::string& key,
                                       const std::string& value, size_t ports_wanted,
                                       std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    std::optional<GraphNode> node = find_node(server, key, value);
    if (node && node->ports.size() >= ports_wanted) return node;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  } while (std::chrono::steady_clock::now() < deadline);
  return std::nullopt;
}

bool link_ports(const PipeWireServer& server, uint32_t out_port, uint32_t in_port) {
  const ProcessResult result =
      server.run_tool({"pw-link", std::to_string(out_port), std::to_string(in_port)});
  return result.exited && result.status == 0;
}
