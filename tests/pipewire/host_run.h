// palvex-pipewire started as a process against a test's PipeWire daemon, with the fake engine
// (chunk 64 whatever the quantum, gain 0.5) and its call trace, or with the stand-in engine.
#pragma once

#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine_trace.h"
#include "json_client.h"
#include "pipewire_server.h"
#include "process.h"
#include "pw_graph.h"

class PipeWireHostRun {
public:
  enum Engine { fake, stand_in };
  PipeWireHostRun(const PipeWireServer& server, const std::vector<std::string>& args,
                  const EnvChanges& extra = {}, Engine engine = fake);
  // A host still running gets SIGINT, so that its exit handlers remove the icon file; one
  // that had to be killed leaves it, and this removes it.
  ~PipeWireHostRun();
  PipeWireHostRun(const PipeWireHostRun&) = delete;
  PipeWireHostRun& operator=(const PipeWireHostRun&) = delete;
  ChildProcess& process() { return *process_; }
  std::vector<std::string> trace() const { return split_lines(read_file(trace_path_)); }
  // The node "VELMOR Palvex" once all four ports show.
  std::optional<GraphNode> wait_for_node(
      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // Polls the trace until it holds the line; false on time-out.
  bool wait_for_trace(const std::string& line,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  std::string diagnostics() const;  // what the host and the daemon printed

private:
  const PipeWireServer& server_;
  TempDir dir_;
  std::string trace_path_;
  std::unique_ptr<ChildProcess> process_;
  mutable std::string icon_file_;  // as the node advertised it
};
