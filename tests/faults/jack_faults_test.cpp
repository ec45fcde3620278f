// palvex-jack meeting faults: its server killed, a stop at every stage of start-up, and a state
// folder that cannot take writes. It must end, free its ports, and never leave torn state.
#include <gtest/gtest.h>
#include <jack/jack.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <iostream>
#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "host_run.h"
#include "jack_chain.h"
#include "jack_server.h"
#include "json_client.h"
#include "json_load.h"
#include "scratch_mount.h"
#include "temp_dir.h"
#include "torn_state.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// palvex-jack with the stand-in engine, a web port and a login, its state in a folder that
// outlives it.
struct FaultHost {
  FaultHost(const JackServer& server, const std::string& state_dir,
            std::vector<std::string> extra_args = {})
      : http_port(free_tcp_port()),
        run(server, with_web_port(http_port, std::move(extra_args)),
            {{"STATE_DIR", state_dir}, {"SETUP_USER", "fault"}, {"SETUP_SECRET", "fault-secret"}},
            Engine::stand_in) {}
  static std::vector<std::string> with_web_port(int port, std::vector<std::string> args) {
    args.insert(args.begin(), {"-C", "faulthost", "-w", std::to_string(port)});
    return args;
  }
  int http_port;
  HostRun run;
};

bool port_listening(int port) { return wait_for_tcp_port(port, 0ms); }

// The host's client is active once its input is connected to the physical capture ports,
// which can only happen after its activation.
bool wait_until_active(const std::string& client, std::chrono::milliseconds timeout) {
  jack_client_t* probe = jack_client_open("faultprobe", JackNoStartServer, nullptr);
  if (probe == nullptr) return false;
  bool active = false;
  for (auto end = Clock::now() + timeout; !active && Clock::now() < end;) {
    jack_port_t* port = jack_port_by_name(probe, (client + ":in_1").c_str());
    active = port != nullptr && jack_port_connected(port) > 0;
    if (!active) std::this_thread::sleep_for(20ms);
  }
  jack_client_close(probe);
  return active;
}

#define START_SERVER(var)                 \
  JackServer var(JackServerOptions{256}); \
  ASSERT_TRUE(var.ready()) << var.log();  \
  var.use_in_this_process()

}  // namespace

TEST(JackFaults, killed_jackd_ends_the_host_within_two_seconds_with_nothing_left_listening) {
  START_SERVER(server);
  TempDir state("palvex-fault-state");
  FaultHost host(server, state.path().string());
  ASSERT_TRUE(wait_for_tcp_port(host.run.json_port(), 15s)) << host.run.process().stderr_text();
  ASSERT_TRUE(wait_for_tcp_port(host.http_port, 5s)) << host.run.process().stderr_text();
  // Killed during its start, the host would rightly report a failed start.
  ASSERT_TRUE(wait_until_active("faulthost", 10s)) << host.run.process().stderr_text();

  const auto killed = Clock::now();
  ASSERT_TRUE(server.stop(SIGKILL));
  ASSERT_TRUE(host.run.process().wait_for_exit(3s)) << "palvex-jack outlived its server";
  const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
  std::cout << "FAULT jackd SIGKILL: host ended after " << seconds << " s" << std::endl;
  EXPECT_LE(seconds, 2.2);
  EXPECT_TRUE(host.run.process().result().exited);
  EXPECT_EQ(host.run.process().result().status, 0) << host.run.process().stderr_text();
  EXPECT_FALSE(port_listening(host.run.json_port()));
  EXPECT_FALSE(port_listening(host.http_port));
  EXPECT_TRUE(torn_state_files(state.path().string()).empty());
}

// Start-up takes a few hundred milliseconds; a stop at each of these points meets another step:
// before the handlers, in the engine's creation, in the ready wait, in the wait loop.
TEST(JackFaults, sigterm_at_every_stage_of_start_up_leaves_no_process_port_or_torn_state) {
  START_SERVER(server);
  // Fine steps over the first milliseconds, where the whole start-up happens on this machine,
  // then a few into the wait.
  std::vector<int> delays_us;
  for (int us = 0; us <= 12000; us += 250) delays_us.push_back(us);
  for (int us : {20000, 50000, 120000, 300000, 800000, 1500000}) delays_us.push_back(us);
  int before_handlers = 0, ordered = 0;
  for (const int delay_us : delays_us) {
    const std::string delay = std::to_string(delay_us / 1000.0).substr(0, 5);
    SCOPED_TRACE("SIGTERM after " + delay + " ms");
    TempDir state("palvex-fault-state");
    FaultHost host(server, state.path().string(), {"-vvvvvv"});
    std::this_thread::sleep_for(std::chrono::microseconds(delay_us));
    host.run.process().send_signal(SIGTERM);
    ASSERT_TRUE(host.run.process().wait_for_exit(5s)) << host.run.process().stderr_text();
    const ProcessResult& result = host.run.process().result();
    const std::string err = host.run.process().stderr_text();
    // Before the handlers SIGTERM's default action ends the process; after them, the ordered
    // shutdown with status 0.
    if (result.exited) {
      EXPECT_EQ(result.status, 0) << err;
    } else {
      EXPECT_EQ(result.signal, SIGTERM);
      EXPECT_EQ(err.find("MAIN stopping"), std::string::npos) << err;
    }
    // A stop that arrives once the handlers are in lets the set-up complete, then shuts down.
    if (result.exited) {
      ++ordered;
      EXPECT_NE(err.find("MAIN stopping"), std::string::npos) << err;
    } else {
      ++before_handlers;
    }
    EXPECT_FALSE(port_listening(host.run.json_port()));
    EXPECT_FALSE(port_listening(host.http_port));
    const auto torn = torn_state_files(state.path().string());
    EXPECT_TRUE(torn.empty()) << torn.front();
  }
  std::cout << "FAULT SIGTERM during start-up: " << delays_us.size() << " runs, " << before_handlers
            << " ended by the signal before the handlers, " << ordered
            << " shut down in order with status 0; none hung, none left a port or torn state"
            << std::endl;
  EXPECT_GT(before_handlers, 0);  // the sweep reached both sides of the handlers
  EXPECT_GT(ordered, 0);
}

TEST(JackFaults, sigterm_during_a_storm_of_state_writes_leaves_a_whole_state_file) {
  START_SERVER(server);
  TempDir state("palvex-fault-state");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    FaultHost host(server, state.path().string());
    ASSERT_TRUE(wait_for_tcp_port(host.run.json_port(), 15s)) << host.run.process().stderr_text();
    {
      JsonLoad writers(host.run.json_port(), 4, Clock::now() + 3s, 100'000, {-6.0, 0.0, -12.5});
      std::this_thread::sleep_for(std::chrono::milliseconds(300 + 150 * round));
      host.run.process().send_signal(SIGTERM);
      ASSERT_TRUE(host.run.process().wait_for_exit(5s)) << host.run.process().stderr_text();
      writers.finish();
    }
    EXPECT_TRUE(host.run.process().result().exited && host.run.process().result().status == 0)
        << host.run.process().stderr_text();
    const auto torn = torn_state_files(state.path().string());
    EXPECT_TRUE(torn.empty()) << torn.front();
  }
  // The last state written is loaded by the next start.
  FaultHost host(server, state.path().string());
  ASSERT_TRUE(wait_for_tcp_port(host.run.json_port(), 15s)) << host.run.process().stderr_text();
  const double gain = host_gain(host.run.json_port());
  EXPECT_TRUE(gain == -6.0 || gain == 0.0 || gain == -12.5) << gain;
}

// The state folder read-only, or full: the writes fail and are logged, the gain still changes,
// the audio goes on untouched, and nothing half-written stays behind.
class StateFolderFault : public testing::TestWithParam<ScratchMount::Kind> {};

TEST_P(StateFolderFault, state_writes_fail_cleanly_and_audio_goes_on) {
  ScratchMount folder(GetParam());
  if (!folder.mounted()) GTEST_SKIP() << "cannot mount a scratch tmpfs: " << folder.error();
  JackServer server(JackServerOptions{64});
  ASSERT_TRUE(server.ready()) << server.log();
  server.use_in_this_process();
  FaultHost host(server, folder.path());
  ASSERT_TRUE(wait_for_tcp_port(host.run.json_port(), 15s)) << host.run.process().stderr_text();

  JackChain chain;
  ASSERT_TRUE(chain.wait_for_port("faulthost:out_2", 10s));
  ASSERT_TRUE(chain.connect_around("faulthost"));
  std::this_thread::sleep_for(500ms);
  chain.arm(static_cast<float>(std::pow(10.0, -6.0 / 20)), 1.0f);
  for (int i = 0; i < 40; ++i) {
    const double gain = i % 2 == 0 ? -6.0 : 0.0;
    const std::string reply = json_request(
        host.run.json_port(), "{\"set\":{\"in\":{\"gain\":" + std::to_string(gain) + "}}}");
    ASSERT_EQ(reply.find("error"), std::string::npos) << reply;
    EXPECT_EQ(host_gain(host.run.json_port()), gain);
    std::this_thread::sleep_for(25ms);
  }
  chain.disarm();
  const ChainFigures audio = chain.figures();
  host.run.process().send_signal(SIGTERM);
  ASSERT_TRUE(host.run.process().wait_for_exit(5s));
  EXPECT_EQ(host.run.process().result().status, 0);

  const std::string err = host.run.process().stderr_text();
  std::cout << "FAULT state folder "
            << (GetParam() == ScratchMount::read_only ? "read-only" : "full")
            << ": periods=" << audio.host.periods << " bad=" << audio.host.bad_periods
            << " xruns=" << audio.xruns << std::endl;
  for (const std::string& line : split_lines(err))
    if (line.find("cannot be saved") != std::string::npos) std::cout << "FAULT   " << line << "\n";
  EXPECT_NE(err.find("cannot be saved"), std::string::npos) << err;
  EXPECT_NE(err.find(GetParam() == ScratchMount::read_only ? "Read-only file system"
                                                           : "No space left on device"),
            std::string::npos)
      << err;
  EXPECT_GT(audio.host.periods, 500u);
  EXPECT_LE(audio.host.bad_periods, 2 * static_cast<uint64_t>(audio.xruns));
  const auto torn = torn_state_files(folder.path());
  EXPECT_TRUE(torn.empty()) << torn.front();
}

INSTANTIATE_TEST_SUITE_P(Kinds, StateFolderFault,
                         testing::Values(ScratchMount::read_only, ScratchMount::full),
                         [](const testing::TestParamInfo<ScratchMount::Kind>& info) {
                           return info.param == ScratchMount::read_only ? std::string("read_only")
                                                                        : std::string("full");
                         });
