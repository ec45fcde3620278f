// palvex-pipewire while the graph's quantum flaps through 64, 100, 256, 1024, 48 and back, over
// and over: our source plays a signal that tells each sample's graph time through the host
// (fake engine, chunk 64 for every quantum, gain 0.5) into our recorder, and the recording is
// checked sample by sample afterwards; the host's resident memory is read after every round.
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <optional>
#include <string>
#include <thread>

#include "audio_probe.h"
#include "audio_verdict.h"
#include "exact_quanta.h"
#include "host_run.h"
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

TEST(PipeWireSoak, flapping_quanta_lose_no_sample_and_grow_no_memory) {
  const ExactQuantaConfig exact_quanta;
  PipeWireServer server;
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_TRUE(server.force_quantum(256));
  server.use_in_this_process();
  const auto duration = flap_time();
  AudioProbe probe(static_cast<size_t>(48000 * (duration.count() + 30)));
  ASSERT_TRUE(probe.ready());
  PipeWireHostRun host(server, {});
  const std::optional<GraphNode> palvex = host.wait_for_node();
  ASSERT_TRUE(palvex) << host.diagnostics();
  const auto source = wait_for_node(server, "node.name", "palvex-test-source", 2, 10s);
  const auto recorder = wait_for_node(server, "node.name", "palvex-test-recorder", 2, 10s);
  ASSERT_TRUE(source && recorder);
  for (const char* name : {"FL", "FR"}) {
    ASSERT_TRUE(link_ports(server, source->port("out", name)->id, palvex->port("in", name)->id));
    ASSERT_TRUE(link_ports(server, palvex->port("out", name)->id, recorder->port("in", name)->id));
  }
  const auto linked = Clock::now();
  while (probe.recorded() < 48000 && Clock::now() < linked + 20s) std::this_thread::sleep_for(20ms);
  ASSERT_GE(probe.recorded(), 48000u) << host.diagnostics();

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
  const std::vector<RecordedSample> samples = probe.take();

  host.process().send_signal(SIGINT);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited && host.process().result().status == 0)
      << host.diagnostics();

  Expected expected;  // gain 0.5, one chunk of 64 late
  expected.graph_explains_breaks = true;
  expected.source_jumps = probe.source_jumps();
  const Verdict verdict = judge(samples, expected);
  const CycleFigures cycles = count_cycles(samples);
  const size_t instances = calls_of(host.trace(), {"palvex_InitProcess3"}).size();
  std::cout << "SOAK pipewire duration_s=" << seconds << " rounds=" << rounds
            << " quanta_forced=" << forced << " recorder_cycles=" << cycles.cycles
            << " quantum_changes_seen=" << cycles.changes << " instances=" << instances
            << "\nSOAK samples_checked=" << verdict.checked
            << " one_chunk_late=" << verdict.one_chunk_late << " silent=" << verdict.silent
            << " unjudged=" << verdict.unjudged << " source_jumps=" << expected.source_jumps.size()
            << " graph_breaks=" << verdict.breaks << " transients=" << verdict.transients
            << " host_faults=" << verdict.bad_breaks + verdict.malformed
            << "\nSOAK rss_settled_kib=" << settled_kib.value_or(0)
            << " rss_highest_kib=" << highest_kib << " rss_end_kib=" << end_kib << std::endl;

  // Every quantum reached the host and made an instance of its own, and nothing else did.
  EXPECT_TRUE(host_saw_every_quantum(host.process())) << host.diagnostics();
  EXPECT_EQ(verdict.quanta, (std::set<uint32_t>{48, 64, 100, 256, 1024}));
  EXPECT_GE(cycles.changes, forced * 9 / 10) << "the daemon did not follow the forced quanta";
  EXPECT_GE(instances, cycles.changes);
  EXPECT_LE(instances, forced + 1);
  EXPECT_EQ(host.process().stderr_text().find("Invalid instance"), std::string::npos);

  // Audio: every recorded cycle whole (a short delivery shows as silence inside a cycle or a
  // sample that is no processed source sample), the stream one chunk late, nothing lost or
  // repeated but where the graph itself skipped.
  expect_sound(verdict, host.diagnostics(), static_cast<size_t>(seconds * 48000 * 0.8));
  EXPECT_GE(verdict.one_chunk_late, verdict.checked * 98 / 100);
  // Transients are the daemon's (see judge); a flood of them would still hide the host's.
  EXPECT_LE(verdict.transients, verdict.checked / 2000) << verdict.first_transient;

  // Memory: flat once every quantum has had its instance and its FIFO room.
  ASSERT_TRUE(settled_kib) << "the host never saw every quantum";
  EXPECT_LE(end_kib, *settled_kib + 256) << "the host grew while the quantum flapped";
  EXPECT_LE(highest_kib, *settled_kib + 512);
}

}  // namespace
