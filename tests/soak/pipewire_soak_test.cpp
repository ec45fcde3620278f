// palvex-pipewire while the graph's quantum flaps through 64, 100, 256, 1024, 48 and back, over
// and over: our source plays a signal that tells each sample's graph time through the host
// into our recorder, and the recording is checked sample by sample afterwards; the host's
// resident memory is read after every round. Once with the fake engine (chunk 64 for every
// quantum, gain 0.5), once with the stand-in, whose every new process must take over the ports
// and the gain set at run time from the one it replaces (chunk = the quantum where it can).
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "audio_probe.h"
#include "audio_verdict.h"
#include "exact_quanta.h"
#include "host_node.h"
#include "process_memory.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// PALVEX_SOAK_SECONDS shortens or lengthens a run; 70 s by default.
std::chrono::seconds flap_time() {
  const char* text = std::getenv("PALVEX_SOAK_SECONDS");
  const long seconds = text != nullptr ? std::strtol(text, nullptr, 10) : 0;
  return std::chrono::seconds(seconds > 0 ? std::min(seconds, 300L) : 70);
}

// One round; each quantum differs from the one before, so every step is a change.
constexpr uint32_t round_quanta[] = {64, 100, 256, 1024, 48, 256};
constexpr auto hold_each = 300ms;  // at least 14 cycles of the longest quantum

struct CycleFigures {
  size_t cycles = 0;   // recorder cycles
  size_t changes = 0;  // of those, with another length than the one before
};

CycleFigures count_cycles(const std::vector<RecordedSample>& samples) {
  CycleFigures figures;
  uint32_t last = 0;
  for (size_t i = 0; i < samples.size(); ++i) {
    if (samples[i].time != samples[i].start) continue;
    ++figures.cycles;
    if (last != 0 && samples[i].cycle != last) ++figures.changes;
    last = samples[i].cycle;
  }
  return figures;
}

// The host logs each quantum it makes an instance for.
bool host_saw_every_quantum(ChildProcess& host) {
  const std::string log = host.stderr_text();
  return std::all_of(std::begin(round_quanta), std::end(round_quanta), [&](uint32_t quantum) {
    return log.find("INFO  Process frames = " + std::to_string(quantum) + "\n") !=
           std::string::npos;
  });
}

size_t count_of(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

class PipeWireSoak : public testing::TestWithParam<Engine> {};

TEST_P(PipeWireSoak, flapping_quanta_lose_no_sample_and_grow_no_memory) {
  const bool stand_in = GetParam() == Engine::stand_in;
  const ExactQuantaConfig exact_quanta;
  PipeWireServer server;
  ASSERT_TRUE(server.ready()) << server.log();
  // The stand-in's first chunk is the quantum; starting on the largest one keeps its latency.
  ASSERT_TRUE(server.force_quantum(stand_in ? 1024 : 256));
  server.use_in_this_process();
  const auto duration = flap_time();
  AudioProbe probe(static_cast<size_t>(48000 * (duration.count() + 30)));
  ASSERT_TRUE(probe.ready());
  const int json_port = free_tcp_port();
  // The gain is set on the JSON port with the state read-only: only the live configuration
  // carries it from process to process.
  HostRun host(server, stand_in ? std::vector<std::string>{"-r"} : std::vector<std::string>{},
               EnvChanges{}, GetParam(), json_port);
  const std::optional<GraphNode> palvex = wait_for_host_node(host, server);
  ASSERT_TRUE(palvex) << host.diagnostics();
  ASSERT_TRUE(link_probe_through(server, *palvex, true));
  const auto linked = Clock::now();
  while (probe.recorded() < 48000 && Clock::now() < linked + 20s) std::this_thread::sleep_for(20ms);
  ASSERT_GE(probe.recorded(), 48000u) << host.diagnostics();
  size_t judged_from = 0;
  if (stand_in) {
    const std::string reply = json_request(json_port, R"({"set":{"in":{"gain":-20}}})");
    ASSERT_NE(reply.find("-20"), std::string::npos) << reply << host.diagnostics();
    // What reaches the recorder from here on left the engine after the ramp.
    const size_t after_set = probe.recorded() + 48000 / 10;
    while (probe.recorded() < after_set && Clock::now() < linked + 30s)
      std::this_thread::sleep_for(20ms);
    judged_from = probe.recorded();
  }

  const pid_t pid = host.process().pid();
  std::optional<uint64_t> settled_kib;  // the first reading once every quantum has been seen
  uint64_t end_kib = 0, highest_kib = 0;
  size_t forced = 0, rounds = 0;
  const auto start = Clock::now();
  while (Clock::now() < start + duration && host.process().running()) {
    for (uint32_t quantum : round_quanta) {
      ASSERT_TRUE(server.force_quantum(quantum));
      ++forced;
      std::this_thread::sleep_for(hold_each);
    }
    ++rounds;
    end_kib = resident_kib(pid);
    if (!settled_kib && host_saw_every_quantum(host.process())) settled_kib = end_kib;
    if (settled_kib) highest_kib = std::max(highest_kib, end_kib);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  ASSERT_TRUE(host.process().running()) << host.diagnostics();
  if (stand_in) {
    // The JSON port still answers, at the gain set before the first change.
    const std::string tree = json_request(json_port, R"({"get":null})");
    EXPECT_NE(tree.find(R"("gain":-20)"), std::string::npos) << tree;
  }
  const std::vector<RecordedSample> samples = probe.take();

  host.process().send_signal(SIGINT);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited && host.process().result().status == 0)
      << host.diagnostics();

  Expected expected;  // the fake: gain 0.5, one chunk of 64 late
  if (stand_in) {
    expected.gain = std::pow(10.0f, -20.0f / 20.0f);
    expected.tolerance = 1e-6f;
    expected.latency = 1024;
  }
  expected.graph_explains_breaks = true;
  expected.source_jumps = probe.source_jumps();
  const Verdict verdict =
      judge({samples.begin() + static_cast<long>(judged_from), samples.end()}, expected);
  const CycleFigures cycles = count_cycles(samples);
  // The fake traces its calls; the stand-in's processes show in the host's log.
  const size_t instances = stand_in
                               ? count_of(host.process().stderr_text(), "INFO  Process frames = ")
                               : calls_of(host.trace(), {"palvex_InitProcess3"}).size();
  std::cout << "SOAK pipewire " << (stand_in ? "stand-in" : "fake") << " duration_s=" << seconds
            << " rounds=" << rounds << " quanta_forced=" << forced
            << " recorder_cycles=" << cycles.cycles << " quantum_changes_seen=" << cycles.changes
            << " instances=" << instances << "\nSOAK samples_checked=" << verdict.checked
            << " one_chunk_late=" << verdict.one_chunk_late << " silent=" << verdict.silent
            << " unjudged=" << verdict.unjudged << " source_jumps=" << expected.source_jumps.size()
            << " graph_breaks=" << verdict.breaks << " transients=" << verdict.transients
            << " host_faults=" << verdict.bad_breaks + verdict.malformed
            << " least_one_chunk_late=" << least_one_chunk_late(verdict)
            << "\nSOAK rss_settled_kib=" << settled_kib.value_or(0)
            << " rss_highest_kib=" << highest_kib << " rss_end_kib=" << end_kib << std::endl;

  // Every quantum reached the host and made an instance of its own, and nothing else did.
  EXPECT_TRUE(host_saw_every_quantum(host.process())) << host.diagnostics();
  EXPECT_EQ(verdict.quanta, (std::set<uint32_t>{48, 64, 100, 256, 1024}));
  EXPECT_GE(cycles.changes, forced * 9 / 10) << "the daemon did not follow the forced quanta";
  EXPECT_GE(instances, cycles.changes);
  EXPECT_LE(instances, forced + 1);
  for (const char* failure : {"Invalid instance", "Error creating the process", "cannot listen"})
    EXPECT_EQ(host.process().stderr_text().find(failure), std::string::npos) << failure;

  // Audio: every recorded cycle whole (a short delivery shows as silence inside a cycle or a
  // sample that is no processed source sample), the stream one chunk late but where the graph's
  // own breaks displaced a backlog (1024 with the stand-in, 64 with the fake), nothing lost or
  // repeated but where the graph itself skipped.
  expect_sound(verdict, host.diagnostics(), static_cast<size_t>(seconds * 48000 * 0.8));
  // Transients are the daemon's (see judge); a flood of them would still hide the host's.
  EXPECT_LE(verdict.transients, verdict.checked / 2000) << verdict.first_transient;

  // Memory: flat once every quantum has had its instance and its FIFO room.
  ASSERT_TRUE(settled_kib) << "the host never saw every quantum";
  EXPECT_LE(end_kib, *settled_kib + 256) << "the host grew while the quantum flapped";
  EXPECT_LE(highest_kib, *settled_kib + 512);
}

INSTANTIATE_TEST_SUITE_P(Engines, PipeWireSoak, testing::Values(Engine::fake, Engine::stand_in),
                         [](const testing::TestParamInfo<Engine>& info) {
                           return info.param == Engine::fake ? "fake" : "stand_in";
                         });

}  // namespace
