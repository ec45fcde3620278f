// palvex-jack as a child process on a private jackd, with the fake engine (traced) or the
// stand-in engine, a private state folder and a JSON port of its own.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "engine_trace.h"
#include "jack_probe.h"
#include "jack_server.h"
#include "process.h"
#include "temp_dir.h"

enum class Engine { fake, stand_in };

class HostRun {
public:
  HostRun(const JackServer& server, std::vector<std::string> args = {}, EnvChanges env = {},
          Engine engine = Engine::fake)
      : state_("palvex-jack-state"), trace_(state_.file("trace")), json_port_(free_tcp_port()) {
    EnvChanges all = server.client_env(clean_palvex_env());
    all["STATE_DIR"] = state_.path().string();
    all["LD_PRELOAD"] = PALVEX_JACK_CLOSE_TRACE_SHIM;
    // In an AddressSanitizer build the preloaded shim comes before the sanitizer's runtime.
    const char* asan = getenv("ASAN_OPTIONS");
    all["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") +
                          (asan != nullptr && *asan != '\0' ? ":" : "") +
                          "verify_asan_link_order=0";
    if (engine == Engine::fake) {
      all["LD_LIBRARY_PATH"] = PALVEX_FAKE_LIB_DIR;
      all["PALVEX_FAKE_TRACE"] = trace_;
    } else {
      all["LD_LIBRARY_PATH"] = std::nullopt;  // the RUNPATH finds the stand-in
    }
    for (const auto& [key, value] : env) all[key] = value;
    std::vector<std::string> argv = {bin_path("palvex-jack"), "-j", std::to_string(json_port_)};
    argv.insert(argv.end(), args.begin(), args.end());
    process_ = std::make_unique<ChildProcess>(argv, all);
  }

  // Stopped the way an operator would: a host killed outright leaves jackd waiting for it.
  ~HostRun() {
    if (process_->running()) {
      process_->send_signal(SIGTERM);
      process_->wait_for_exit(std::chrono::seconds(3));
    }
  }
  HostRun(const HostRun&) = delete;
  HostRun& operator=(const HostRun&) = delete;

  ChildProcess& process() { return *process_; }
  int json_port() const { return json_port_; }
  std::vector<std::string> trace() const { return split_lines(read_file(trace_)); }
  std::string diagnostics() { return "stderr of palvex-jack:\n" + process_->stderr_text(); }

  // Waits until the host's out_2 exists with at least `connections` connections.
  bool wait_until_up(const JackProbe& probe, size_t connections,
                     const std::string& client = "palvex") {
    return probe.wait_for_connections(client + ":out_2", connections, std::chrono::seconds(10));
  }

private:
  TempDir state_;
  std::string trace_;
  int json_port_;
  std::unique_ptr<ChildProcess> process_;
};

// A server for one test; the test stops at once when it did not come up.
#define START_JACK_SERVER(var, ...)              \
  JackServer var(JackServerOptions{__VA_ARGS__}); \
  ASSERT_TRUE(var.ready()) << var.log();          \
  var.use_in_this_process()
