// The node a palvex-pipewire run shows in its daemon's graph.
#include "host_node.h"

std::optional<GraphNode> wait_for_host_node(HostRun& host, const PipeWireServer& server,
                                            std::chrono::milliseconds timeout) {
  std::optional<GraphNode> node = wait_for_node(server, "media.name", "VELMOR Palvex", 4, timeout);
  if (node && node->props.contains("application.icon-name") &&
      node->props["application.icon-name"].is_string())
    host.remove_at_end(node->props["application.icon-name"].get<std::string>());
  return node;
}

bool link_probe_through(const PipeWireServer& server, const GraphNode& palvex, bool to_recorder) {
  using namespace std::chrono_literals;
  const auto source = wait_for_node(server, "node.name", "palvex-test-source", 2, 10s);
  const auto recorder =
      to_recorder ? wait_for_node(server, "node.name", "palvex-test-recorder", 2, 10s) : source;
  if (!source || !recorder) return false;
  for (const char* name : {"FL", "FR"}) {
    const auto from_source = source->port("out", name), host_in = palvex.port("in", name);
    if (!from_source || !host_in || !link_ports(server, from_source->id, host_in->id)) return false;
    if (!to_recorder) continue;
    const auto host_out = palvex.port("out", name), to_rec = recorder->port("in", name);
    if (!host_out || !to_rec || !link_ports(server, host_out->id, to_rec->id)) return false;
  }
  return true;
}
