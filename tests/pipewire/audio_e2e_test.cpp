// Real audio through palvex-pipewire on a real PipeWire daemon: our source node plays a
// sequence that tells each sample's graph time, our recorder checks every sample that comes
// back: the fake engine's gain of 0.5, exactly one chunk (64 frames) late, nothing lost.
#include <gtest/gtest.h>

#include <set>
#include <thread>

#include "audio_probe.h"
#include "host_run.h"

namespace {

using namespace std::chrono_literals;

constexpr uint64_t latency = 64;
constexpr float gain = 0.5f;

// What a recorded sample says: the graph time of the source sample it came from (modulo the
// signal's period), or -1 when it is not the engine's output of a source sample (silence,
// another gain, channels that differ).
long source_time(const RecordedSample& sample) {
  const float scaled = sample.left / gain * 16384.0f;
  const long step = static_cast<long>(scaled);
  if (sample.right != -sample.left || scaled != static_cast<float>(step) || step < 1 ||
      step > 8192)
    return -1;
  return step - 1;
}

// Length of the run of silence that begins at i.
size_t silence_at(const std::vector<RecordedSample>& samples, size_t i) {
  size_t end = i;
  while (end < samples.size() && samples[end].left == 0.0f && samples[end].right == 0.0f) ++end;
  return end - i;
}

long modulo_period(long value) { return ((value % 8192) + 8192) % 8192; }

// PipeWire on a loaded virtual machine skips a cycle now and then, and around a quantum
// change the graph times it reports may jump: those are the graph's, not the host's. What the
// host must never do shows anyway: any sample that is not the engine's output of a source
// sample, silence other than whole cycles, and any break in the host's own stream other than
// whole skipped cycles (the chunk is 64, the smallest quantum 128 or 256). The latency
// shows where the graph runs undisturbed, which is nearly everywhere.
struct Verdict {
  size_t first = 0;       // index of the first processed sample
  size_t checked = 0;     // samples from there to the end
  size_t malformed = 0;   // not the engine's output of any source sample
  size_t silent = 0;      // samples of silence in whole cycles
  size_t breaks = 0;      // places where the host's stream does not go on by one
  size_t bad_breaks = 0;  // of those, not by whole cycles of the smallest quantum
  size_t one_chunk_late = 0;  // samples whose source sample is 64 graph samples older
  std::string first_fault;
  std::set<uint32_t> quanta;  // cycle lengths seen among the checked samples
};

Verdict judge(const std::vector<RecordedSample>& samples, long smallest_quantum) {
  Verdict verdict;
  auto late_by_one_chunk = [&](size_t i) {
    return source_time(samples[i]) == modulo_period(static_cast<long>(samples[i].time) - 64);
  };
  while (verdict.first < samples.size() && !late_by_one_chunk(verdict.first)) ++verdict.first;
  auto fault = [&](size_t i, const std::string& what) {
    if (verdict.first_fault.empty())
      verdict.first_fault = what + " at graph time " + std::to_string(samples[i].time) + ": " +
                            std::to_string(samples[i].left) + " / " +
                            std::to_string(samples[i].right);
  };
  for (size_t i = verdict.first; i < samples.size(); ++i) {
    ++verdict.checked;
    verdict.quanta.insert(samples[i].cycle);
    const long from = source_time(samples[i]);
    // Silence in whole cycles of the smallest quantum is the graph's (a cycle the host was
    // not run for, or ran too late for, such as the one that creates an instance).
    const size_t silence = from < 0 ? silence_at(samples, i) : 0;
    if (silence > 0 && (silence % static_cast<size_t>(smallest_quantum) == 0 || i + silence == samples.size())) {
      verdict.silent += silence;
      verdict.checked += silence - 1;
      i += silence - 1;
      continue;
    }
    if (from < 0) {
      ++verdict.malformed;
      fault(i, "not a processed source sample");
      continue;
    }
    if (late_by_one_chunk(i)) ++verdict.one_chunk_late;
    if (i == verdict.first) continue;
    // Across silent cycles the stream goes on from the last sample before them.
    size_t previous = i - 1;
    while (previous > verdict.first && source_time(samples[previous]) < 0) --previous;
    const long before = source_time(samples[previous]);
    if (before < 0) continue;
    const long step = modulo_period(from - before - 1);
    if (step == 0) continue;
    ++verdict.breaks;
    if (step % smallest_quantum != 0) {
      ++verdict.bad_breaks;
      fault(i, "a break of " + std::to_string(step) + " samples");
    }
  }
  return verdict;
}

void expect_sound(const Verdict& verdict, const std::string& diagnostics) {
  EXPECT_GE(verdict.checked, 48000u) << diagnostics;
  EXPECT_EQ(verdict.malformed, 0u) << verdict.first_fault << "\n" << diagnostics;
  EXPECT_LE(verdict.silent, verdict.checked / 20) << "samples in silent cycles";
  EXPECT_EQ(verdict.bad_breaks, 0u) << verdict.first_fault;
  EXPECT_GE(verdict.one_chunk_late, verdict.checked * 9 / 10)
      << verdict.breaks << " breaks in the stream";
}

class AudioThrough : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << server_.log();
    ASSERT_TRUE(server_.force_quantum(256));
    server_.use_in_this_process();
    probe_ = std::make_unique<AudioProbe>();
    ASSERT_TRUE(probe_->ready());
    host_ = std::make_unique<PipeWireHostRun>(server_, std::vector<std::string>{});
    const std::optional<GraphNode> palvex = host_->wait_for_node();
    ASSERT_TRUE(palvex) << host_->diagnostics();
    const auto source = wait_for_node(server_, "node.name", "palvex-test-source", 2, 10s);
    const auto recorder = wait_for_node(server_, "node.name", "palvex-test-recorder", 2, 10s);
    ASSERT_TRUE(source && recorder);
    for (const char* name : {"FL", "FR"}) {
      ASSERT_TRUE(link_ports(server_, source->port("out", name)->id, palvex->port("in", name)->id));
      ASSERT_TRUE(
          link_ports(server_, palvex->port("out", name)->id, recorder->port("in", name)->id));
    }
  }
  void TearDown() override {
    probe_.reset();  // our nodes go before the daemon
    host_.reset();
  }

  // Waits until the recorder holds the given amount of audio.
  bool record(size_t samples, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (probe_->recorded() < samples && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return probe_->recorded() >= samples;
  }

  PipeWireServer server_;
  std::unique_ptr<AudioProbe> probe_;
  std::unique_ptr<PipeWireHostRun> host_;
};

TEST_F(AudioThrough, every_sample_is_processed_and_one_chunk_late) {
  ASSERT_TRUE(record(48000 * 2, 20s)) << host_->diagnostics();
  const Verdict verdict = judge(probe_->take(), 256);
  expect_sound(verdict, host_->diagnostics());
  EXPECT_EQ(verdict.quanta, std::set<uint32_t>{256});
  EXPECT_EQ(calls_of(host_->trace(), {"palvex_InitProcess3"}).size(), 1u);
}

// A new quantum makes a new instance on the data thread; the FIFOs carry over, so the stream
// goes on without a gap or a repeat and stays one chunk late.
TEST_F(AudioThrough, forced_quantum_changes_recreate_the_instance_and_lose_no_sample) {
  ASSERT_TRUE(record(48000, 20s)) << host_->diagnostics();
  const uint32_t quanta[] = {128, 256, 128};
  size_t wanted = 48000;
  for (uint32_t quantum : quanta) {
    ASSERT_TRUE(server_.force_quantum(quantum));
    wanted += 48000;
    ASSERT_TRUE(record(wanted, 20s)) << host_->diagnostics();
  }
  const Verdict verdict = judge(probe_->take(), 128);
  expect_sound(verdict, host_->diagnostics());
  EXPECT_EQ(verdict.quanta, (std::set<uint32_t>{128, 256}));
  EXPECT_EQ(calls_of(host_->trace(), {"palvex_InitProcess3"}).size(), 4u) << host_->diagnostics();
  EXPECT_NE(host_->process().stderr_text().find("INFO  Process frames = 128\n"),
            std::string::npos)
      << host_->diagnostics();
}

}  // namespace
