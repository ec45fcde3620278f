// Real audio through palvex-pipewire on a real PipeWire daemon: our source node plays a
// sequence that tells each sample's graph time, our recorder checks every sample that comes
// back: the engine's gain (the fake's 0.5, or the stand-in's), exactly one chunk late,
// nothing lost.
#include <gtest/gtest.h>

#include <cmath>
#include <thread>

#include "audio_probe.h"
#include "audio_verdict.h"
#include "host_node.h"

namespace {

using namespace std::chrono_literals;

// The fake engine adds this to every sample, so that its output of silence (what it makes of a
// cycle the graph gave the host nothing for) is told from silence the host let out unprocessed.
constexpr const char* fake_bias_text = "0x1p-16";
constexpr float fake_bias = 0x1p-16f;

// What the fake engine's output of the probe's signal looks like.
Expected fake_engine_output() {
  Expected expected;
  expected.bias = fake_bias;
  return expected;
}

class AudioThrough : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(server_.ready()) << server_.log();
    ASSERT_TRUE(server_.force_quantum(256));
    server_.use_in_this_process();
    probe_ = std::make_unique<AudioProbe>();
    ASSERT_TRUE(probe_->ready());
  }

  // Starts the host and links source -> host -> recorder. Call through ASSERT_NO_FATAL_FAILURE.
  void start_host(const std::vector<std::string>& args = {}, Engine engine = Engine::fake,
                  EnvChanges env = {}) {
    if (engine == Engine::fake) env["PALVEX_FAKE_BIAS"] = fake_bias_text;
    host_ = std::make_unique<HostRun>(server_, args, env, engine);
    const std::optional<GraphNode> palvex = wait_for_host_node(*host_, server_);
    ASSERT_TRUE(palvex) << host_->diagnostics();
    ASSERT_TRUE(link_probe_through(server_, *palvex, true));
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
  std::unique_ptr<HostRun> host_;
};

TEST_F(AudioThrough, every_sample_is_processed_and_one_chunk_late) {
  ASSERT_NO_FATAL_FAILURE(start_host());
  ASSERT_TRUE(record(48000 * 2, 20s)) << host_->diagnostics();
  const Verdict verdict = judge(probe_->take(), fake_engine_output());
  expect_sound(verdict, host_->diagnostics());
  EXPECT_EQ(verdict.quanta, std::set<uint32_t>{256});
  EXPECT_EQ(calls_of(host_->trace(), {"palvex_InitProcess3"}).size(), 1u);
}

// The FIFOs get their channels and their chunk of silence in the first cycle that knows the
// chunk, before the engine runs against them.
TEST_F(AudioThrough, an_engine_that_knows_its_chunk_only_after_the_instance_is_made) {
  ASSERT_NO_FATAL_FAILURE(start_host({}, Engine::fake, {{"PALVEX_FAKE_ZERO_CHUNK_READS", "1"}}));
  ASSERT_TRUE(record(48000 * 2, 20s)) << host_->diagnostics();
  expect_sound(judge(probe_->take(), fake_engine_output()), host_->diagnostics());
  EXPECT_TRUE(host_->process().running()) << host_->diagnostics();
}

// A new quantum makes a new instance on the data thread; the FIFOs carry over, so the stream
// goes on without a gap or a repeat and stays one chunk late.
TEST_F(AudioThrough, forced_quantum_changes_recreate_the_instance_and_lose_no_sample) {
  ASSERT_NO_FATAL_FAILURE(start_host());
  ASSERT_TRUE(record(48000, 20s)) << host_->diagnostics();
  const uint32_t quanta[] = {128, 256, 128};
  size_t wanted = 48000;
  for (uint32_t quantum : quanta) {
    ASSERT_TRUE(server_.force_quantum(quantum));
    wanted += 48000;
    ASSERT_TRUE(record(wanted, 20s)) << host_->diagnostics();
  }
  Expected expected = fake_engine_output();
  expected.smallest_quantum = 128;
  const Verdict verdict = judge(probe_->take(), expected);
  expect_sound(verdict, host_->diagnostics());
  EXPECT_EQ(verdict.quanta, (std::set<uint32_t>{128, 256}));
  EXPECT_EQ(calls_of(host_->trace(), {"palvex_InitProcess3"}).size(), 4u) << host_->diagnostics();
  EXPECT_NE(host_->process().stderr_text().find("INFO  Process frames = 128\n"), std::string::npos)
      << host_->diagnostics();
}

// The stand-in engine picks the quantum as its chunk (256, so that is the latency), passes
// audio unchanged at its default gain of 0 dB, and applies a gain set on its JSON port.
TEST_F(AudioThrough, the_stand_in_engine_follows_a_gain_set_on_its_json_port) {
  ASSERT_NO_FATAL_FAILURE(start_host({}, Engine::stand_in));
  const int json_port = host_->json_port();
  ASSERT_TRUE(wait_for_tcp_port(json_port, 10s)) << host_->diagnostics();
  ASSERT_TRUE(record(48000, 20s)) << host_->diagnostics();
  const size_t before_change = probe_->recorded();
  const std::string reply = json_request(json_port, R"({"set":{"in":{"gain":-30}}})");
  EXPECT_NE(reply.find("gain"), std::string::npos) << reply;
  // What reaches the recorder from here on left the engine after the change.
  const size_t after_change = probe_->recorded() + 48000 / 10;
  ASSERT_TRUE(record(after_change + 48000, 20s)) << host_->diagnostics();
  const std::vector<RecordedSample> samples = probe_->take();

  Expected unity;
  unity.gain = 1.0f;
  unity.latency = 256;
  expect_sound(judge({samples.begin(), samples.begin() + static_cast<long>(before_change)}, unity),
               host_->diagnostics(), 48000 / 2);
  Expected quieter = unity;
  quieter.gain = std::pow(10.0f, -30.0f / 20.0f);
  quieter.tolerance = 1e-6f;
  expect_sound(judge({samples.begin() + static_cast<long>(after_change), samples.end()}, quieter),
               host_->diagnostics(), 48000 / 2);
}

}  // namespace
