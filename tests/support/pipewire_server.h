// A private PipeWire daemon for tests: XDG_RUNTIME_DIR in a 0700 temporary folder of its own,
// so runs never collide, and always stopped, also when an assertion fails.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

class PipeWireServer {
public:
  // Starts pipewire and waits until it answers. Check ready() before using it.
  PipeWireServer();
  ~PipeWireServer();  // SIGTERM, then SIGKILL if it does not go
  PipeWireServer(const PipeWireServer&) = delete;
  PipeWireServer& operator=(const PipeWireServer&) = delete;

  bool ready() const { return ready_; }
  const std::string& runtime_dir() const { return runtime_dir_; }
  // base plus what a client of this daemon needs: its XDG_RUNTIME_DIR, no other remote.
  EnvChanges client_env(EnvChanges base = {}) const;
  // Points this process's own PipeWire clients (read at connect) at the daemon.
  void use_in_this_process() const;
  // Runs a PipeWire tool (pw-cli, pw-dump, pw-link, ...) against the daemon.
  ProcessResult run_tool(const std::vector<std::string>& argv,
                         std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;
  // clock.force-quantum in the "settings" metadata; true when pw-metadata succeeded.
  bool force_quantum(uint32_t frames) const;
  std::string dump() const;  // pw-dump: every object as JSON
  bool running();
  // Ends the daemon, for tests of a daemon that goes away; true when it ended in time.
  bool stop(int signal_number, std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::string log() const;  // what pipewire printed

private:
  TempDir dir_;
  std::string runtime_dir_;
  std::unique_ptr<ChildProcess> daemon_;
  bool ready_ = false;
};
