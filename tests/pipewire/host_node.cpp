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
