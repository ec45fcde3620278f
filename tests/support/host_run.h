// palvex-jack or palvex-pipewire as a child process on a test's private server: a state folder
// and a JSON port of its own, the fake engine (traced) or the stand-in engine, its output
// captured, and always stopped the way an operator stops it, also when an assertion fails.
#pragma once

#include <signal.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine_trace.h"  // index_of, calls_of: for what trace() gives
#include "jack_server.h"
#include "json_client.h"  // for what json_port() serves
#include "pipewire_server.h"
#include "process.h"
#include "temp_dir.h"

enum class Engine { fake, stand_in };

class HostRun {
public:
  // A json_port of 0 takes a free one; program_default_port leaves -j out.
  static constexpr int program_default_port = -1;

  // args come after "-j PORT"; env goes on top of what the run sets, and a STATE_DIR in it
  // names a state folder that outlives the run.
  HostRun(const JackServer& server, std::vector<std::string> args = {}, EnvChanges env = {},
          Engine engine = Engine::fake, int json_port = 0);
  HostRun(const PipeWireServer& server, std::vector<std::string> args = {}, EnvChanges env = {},
          Engine engine = Engine::fake, int json_port = 0);
  ~HostRun();  // stop(SIGTERM), then removes an icon file the host left
  HostRun(const HostRun&) = delete;
  HostRun& operator=(const HostRun&) = delete;

  ChildProcess& process() { return *process_; }
  int json_port() const { return json_port_; }
  const std::string& state_dir() const { return state_dir_; }
  // True once the JSON port accepts connections while the host still runs.
  bool wait_for_json_port(std::chrono::milliseconds timeout = std::chrono::seconds(15));
  // The fake engine's calls and the preloaded shim's, one a line.
  std::vector<std::string> trace() const { return split_lines(read_file(trace_path_)); }
  // Polls the trace until it holds the line; false on time-out.
  bool wait_for_trace(const std::string& line,
                      std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // The signal, then SIGKILL when the host did not end in time; true when it ended by itself.
  bool stop(int signal_number = SIGTERM,
            std::chrono::milliseconds timeout = std::chrono::seconds(10));
  // The icon file the PipeWire node advertised: a host that had to be killed leaves it.
  void remove_at_end(const std::string& icon_file) { icon_file_ = icon_file; }
  std::string diagnostics() const;  // what the host, the trace and the server printed

private:
  void start(const std::string& program, const std::string& shim, EnvChanges base,
             const std::vector<std::string>& args, const EnvChanges& env, Engine engine);

  TempDir dir_;
  std::string trace_path_;
  std::string state_dir_;
  int json_port_;
  const JackServer* jack_ = nullptr;
  const PipeWireServer* pipewire_ = nullptr;
  std::unique_ptr<ChildProcess> process_;
  std::string icon_file_;
};
