// palvex-pipewire when its PipeWire daemon dies under it: it must not spin or wait forever.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "host_under_test.h"
#include "pipewire_server.h"
#include "temp_dir.h"

namespace {

using namespace std::chrono_literals;

// CPU time the process has used so far, in clock ticks (user + system).
long cpu_ticks(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const size_t end = text.rfind(')');
  if (end == std::string::npos) return -1;
  std::istringstream fields(text.substr(end + 2));
  std::string skip;
  for (int i = 0; i < 11; ++i) fields >> skip;  // state ... cmajflt
  long user = 0, system = 0;
  fields >> user >> system;
  return user + system;
}

// The host's node in the daemon's graph (it serves its JSON port only once it is linked).
bool wait_for_node(const PipeWireServer& daemon) {
  const auto deadline = std::chrono::steady_clock::now() + 15s;
  while (std::chrono::steady_clock::now() < deadline) {
    if (daemon.dump().find("VELMOR Palvex") != std::string::npos) return true;
    std::this_thread::sleep_for(100ms);
  }
  return false;
}

}  // namespace

// Today the host stays in its main loop, idle, with its node in a graph that is gone, until
// someone stops it; an operator's supervisor never learns that it should restart
// it. The JACK host ends on its own when jackd goes. Enabled once the PipeWire host watches its
// connection (pipewire_host).
TEST(PipeWireFaults, DISABLED_killed_daemon_ends_the_host_within_two_seconds) {
  PipeWireServer daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  TempDir state("palvex-fault-state");
  const int json_port = free_tcp_port();
  EnvChanges env = daemon.client_env(clean_palvex_env());
  env["STATE_DIR"] = state.path().string();
  env["LD_LIBRARY_PATH"] = std::nullopt;
  ChildProcess host({bin_path("palvex-pipewire"), "-j", std::to_string(json_port)}, env);
  ASSERT_TRUE(wait_for_node(daemon)) << host.stderr_text();

  ASSERT_TRUE(daemon.stop(SIGKILL));
  const long ticks_before = cpu_ticks(host.pid());
  const bool ended = host.wait_for_exit(2s);
  if (!ended) {
    const long spent = cpu_ticks(host.pid()) - ticks_before;
    std::cout << "FAULT pipewire SIGKILL: host still running after 2 s, " << spent
              << " CPU ticks in those 2 s (" << (spent > 50 ? "spinning" : "idle") << ")"
              << std::endl;
  }
  ASSERT_TRUE(ended) << "palvex-pipewire outlived its daemon\n" << host.stderr_text();
  EXPECT_TRUE(host.result().exited) << host.stderr_text();
  EXPECT_FALSE(port_listening(json_port));
}

// What the host does today, so that a change of it is seen: it idles, it does not spin, and a
// SIGTERM still shuts it down in order.
TEST(PipeWireFaults, killed_daemon_leaves_the_host_idle_and_stoppable) {
  PipeWireServer daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  TempDir state("palvex-fault-state");
  const int json_port = free_tcp_port();
  EnvChanges env = daemon.client_env(clean_palvex_env());
  env["STATE_DIR"] = state.path().string();
  env["LD_LIBRARY_PATH"] = std::nullopt;
  ChildProcess host({bin_path("palvex-pipewire"), "-j", std::to_string(json_port)}, env);
  ASSERT_TRUE(wait_for_node(daemon)) << host.stderr_text();

  ASSERT_TRUE(daemon.stop(SIGKILL));
  std::this_thread::sleep_for(500ms);
  if (!host.running()) GTEST_SKIP() << "the host now ends with its daemon; enable the test above";
  const long ticks_before = cpu_ticks(host.pid());
  std::this_thread::sleep_for(2s);
  const long spent = cpu_ticks(host.pid()) - ticks_before;
  std::cout << "FAULT pipewire SIGKILL: host idles (" << spent << " CPU ticks in 2 s)"
            << std::endl;
  EXPECT_LT(spent, 20) << "the host spins without its daemon";  // 100 ticks a second
  host.send_signal(SIGTERM);
  ASSERT_TRUE(host.wait_for_exit(3s)) << "SIGTERM did not stop the host";
  EXPECT_TRUE(host.result().exited && host.result().status == 0) << host.stderr_text();
  EXPECT_FALSE(port_listening(json_port));
}
