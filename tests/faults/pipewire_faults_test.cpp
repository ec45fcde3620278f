// palvex-pipewire when its PipeWire daemon dies under it: it must not spin or wait forever.
#include <gtest/gtest.h>
#include <signal.h>
#include <time.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "audio_probe.h"
#include "host_node.h"
#include "pipewire_server.h"

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

size_t occurrences(const std::string& text, const std::string& part) {
  size_t count = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++count;
  return count;
}

}  // namespace

// A supervisor must learn that the host lost its daemon, as it does when jackd goes: the host
// ends on its own, it neither idles nor spins.
TEST(PipeWireFaults, killed_daemon_ends_the_host_within_two_seconds) {
  PipeWireServer daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  HostRun host(daemon, {}, {}, Engine::stand_in);
  // The host serves its JSON port only once it is linked: its node shows that it is up.
  ASSERT_TRUE(wait_for_host_node(host, daemon, 15s)) << host.diagnostics();

  ASSERT_TRUE(daemon.stop(SIGKILL));
  const long ticks_before = cpu_ticks(host.process().pid());
  const bool ended = host.process().wait_for_exit(2s);
  if (!ended) {
    const long spent = cpu_ticks(host.process().pid()) - ticks_before;
    std::cout << "FAULT pipewire SIGKILL: host still running after 2 s, " << spent
              << " CPU ticks in those 2 s (" << (spent > 50 ? "spinning" : "idle") << ")"
              << std::endl;
  }
  ASSERT_TRUE(ended) << "palvex-pipewire outlived its daemon\n" << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited) << host.diagnostics();
  EXPECT_FALSE(wait_for_tcp_port(host.json_port(), 0ms));
}

// The daemon goes while audio flows through the stand-in engine: one ERROR line says so, then
// the ordered shutdown of a stop signal runs (instance stopped, JSON port closed, icon file
// removed) and the status is 0, as for the JACK host when jackd goes.
TEST(PipeWireFaults, killed_daemon_mid_run_is_logged_once_and_shuts_down_in_order) {
  PipeWireServer daemon;
  ASSERT_TRUE(daemon.ready()) << daemon.log();
  ASSERT_TRUE(daemon.force_quantum(256));
  daemon.use_in_this_process();
  AudioProbe probe;
  ASSERT_TRUE(probe.ready());
  HostRun host(daemon, {"-v"}, {}, Engine::stand_in);
  const std::optional<GraphNode> palvex = wait_for_host_node(host, daemon, 15s);
  ASSERT_TRUE(palvex) << host.diagnostics();
  const std::string icon = palvex->props.value("application.icon-name", "");
  ASSERT_EQ(icon.rfind("/tmp/png", 0), 0u) << palvex->props.dump();
  ASSERT_TRUE(link_probe_through(daemon, *palvex, false));
  // The engine serves its JSON port once the first cycle has made an instance.
  ASSERT_TRUE(host.wait_for_json_port(10s)) << host.diagnostics();

  ASSERT_TRUE(daemon.stop(SIGKILL));
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << "palvex-pipewire outlived its daemon\n"
                                                << host.diagnostics();
  const ProcessResult& result = host.process().result();
  EXPECT_TRUE(result.exited && result.status == 0) << result.err;
  EXPECT_EQ(occurrences(result.err, " ERROR PipeWire connection lost: "), 1u) << result.err;
  const size_t lost = result.err.find(" ERROR PipeWire connection lost: ");
  const size_t stopping = result.err.find(" VERB  MAIN stopping\n");
  const size_t exiting = result.err.find(" VERB  MAIN exiting now\n");
  ASSERT_NE(lost, std::string::npos) << result.err;
  ASSERT_NE(stopping, std::string::npos) << result.err;
  ASSERT_NE(exiting, std::string::npos) << result.err;
  EXPECT_LT(lost, stopping);
  EXPECT_LT(stopping, exiting);
  EXPECT_FALSE(wait_for_tcp_port(host.json_port(), 0ms));
  EXPECT_FALSE(std::filesystem::exists(icon)) << icon;
}
