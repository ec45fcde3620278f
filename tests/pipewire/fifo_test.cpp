// on_pw_process with a valid instance: the FIFOs between quantum and chunk, sample by sample.
#include <gtest/gtest.h>

#include <algorithm>

#include "filter_rig.h"

namespace {

struct SteadyCase {
  const char* name;
  std::vector<uint32_t> quanta;  // one entry per cycle
  int chunk;
};
void PrintTo(const SteadyCase& c, std::ostream* out) { *out << c.name; }

class SteadyRun : public testing::TestWithParam<SteadyCase> {};

// The latency is the first chunk, whatever the quantum; backlogs always add up to it.
TEST_P(SteadyRun, delivers_the_engine_output_one_chunk_late) {
  const SteadyCase& run = GetParam();
  FilterRig rig({make_chunk(run.chunk)});
  for (uint32_t n : run.quanta) {
    rig.cycle(n);
    rig.expect_backlog(static_cast<size_t>(run.chunk));
    EXPECT_LT(rig.in_backlog(0), static_cast<size_t>(run.chunk));
  }
  rig.expect_delayed(0, static_cast<size_t>(run.chunk));
  rig.expect_delayed(1, static_cast<size_t>(run.chunk));
  EXPECT_EQ(rig.factory_calls, std::vector<uint32_t>{run.quanta.front()});
}

INSTANTIATE_TEST_SUITE_P(
    Quanta, SteadyRun,
    testing::Values(SteadyCase{"quantum_256_chunk_64", {256, 256, 256, 256}, 64},
                    SteadyCase{"quantum_32_chunk_64", {32, 32, 32, 32, 32, 32}, 64},
                    SteadyCase{"quantum_100_chunk_64", {100, 100, 100, 100, 100, 100, 100}, 64},
                    SteadyCase{"quantum_equal_to_chunk", {64, 64, 64}, 64},
                    SteadyCase{"quantum_1_chunk_64", std::vector<uint32_t>(200, 1), 64}),
    [](const testing::TestParamInfo<SteadyCase>& info) { return std::string(info.param.name); });

TEST(FirstCycle, quantum_256_chunk_64_keeps_the_last_chunk_in_the_output_fifo) {
  FilterRig rig;
  rig.cycle(256);
  std::vector<float> expected(64, 0.0f);
  for (int i = 0; i < 192; ++i) expected.push_back(engine_gain * static_cast<float>(i + 1));
  EXPECT_EQ(rig.delivered[0], expected);
  EXPECT_EQ(rig.in_backlog(0), 0u);
  ASSERT_EQ(rig.out_backlog(0), 64u);
  EXPECT_EQ(rig.host.out_fifo[0].front(), engine_gain * 193.0f);
  EXPECT_EQ(rig.host.out_fifo[0].back(), engine_gain * 256.0f);
  EXPECT_EQ(rig.host.quantum, 256u);
}

TEST(FirstCycles, quantum_32_chunk_64_is_silent_for_two_cycles) {
  FilterRig rig;
  rig.cycle(32);
  EXPECT_EQ(rig.in_backlog(0), 32u);
  EXPECT_EQ(rig.out_backlog(0), 32u);
  rig.cycle(32);  // the first engine call
  EXPECT_EQ(rig.in_backlog(0), 0u);
  EXPECT_EQ(rig.out_backlog(0), 64u);
  EXPECT_EQ(rig.delivered[0], std::vector<float>(64, 0.0f));
  rig.cycle(32);
  EXPECT_EQ(rig.delivered[0][64], engine_gain * 1.0f);
  EXPECT_EQ(rig.delivered[1][95], engine_gain * -32.0f);
}

// A quantum change makes a new instance that inherits both FIFOs: nothing lost or repeated.
TEST(QuantumChange, keeps_both_fifos_and_the_latency) {
  FilterRig rig({make_chunk(64), make_chunk(64), make_chunk(64), make_chunk(32)});
  rig.cycles({256, 256, 100, 100, 100, 512, 32, 32, 32});
  rig.expect_backlog(64);
  rig.expect_delayed(0, 64);
  rig.expect_delayed(1, 64);
  EXPECT_EQ(rig.factory_calls, (std::vector<uint32_t>{256, 100, 512, 32}));
}

struct LargerChunkCase {
  const char* name;
  uint32_t first_quantum;
  int first_chunk;
  uint32_t later_quantum;
  int later_chunk;
};
void PrintTo(const LargerChunkCase& c, std::ostream* out) { *out << c.name; }

class LargerChunk : public testing::TestWithParam<LargerChunkCase> {};

// The FIFOs then hold less than the new chunk: silence fills the gap once, at the change,
// after the backlog, and every cycle still delivers a whole quantum on both channels.
TEST_P(LargerChunk, adds_silence_once_and_loses_no_sample) {
  const LargerChunkCase& run = GetParam();
  FilterRig rig({make_chunk(run.first_chunk), make_chunk(run.later_chunk)});
  for (int i = 0; i < 4; ++i) rig.cycle(run.first_quantum);
  const size_t before_change = rig.delivered[0].size();
  for (int i = 0; i < 6; ++i) {
    rig.cycle(run.later_quantum);
    rig.expect_backlog(static_cast<size_t>(run.later_chunk));
  }
  for (size_t t = static_cast<size_t>(run.first_chunk); t < before_change; ++t)
    ASSERT_EQ(rig.delivered[0][t], engine_gain * rig.fed[0][t - run.first_chunk]) << t;
  // The new latency holds from the first sample that follows the inserted silence.
  const size_t gap = static_cast<size_t>(run.later_chunk - run.first_chunk);
  for (int c = 0; c < 2; ++c) {
    std::vector<float> heard;
    for (float sample : rig.delivered[c])
      if (sample != 0.0f) heard.push_back(sample);
    ASSERT_FALSE(heard.empty());
    for (size_t i = 0; i < heard.size(); ++i)
      ASSERT_EQ(heard[i], engine_gain * rig.fed[c][i]) << "channel " << c << ", sample " << i;
    const auto zeros = std::count(rig.delivered[c].begin(), rig.delivered[c].end(), 0.0f);
    EXPECT_EQ(static_cast<size_t>(zeros), static_cast<size_t>(run.first_chunk) + gap);
    EXPECT_EQ(rig.delivered[c].size(), before_change + 6 * run.later_quantum);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Chunks, LargerChunk,
    testing::Values(LargerChunkCase{"from_64_to_256", 256, 64, 512, 256},
                    LargerChunkCase{"from_64_to_128_at_a_quantum_of_100", 100, 64, 300, 128},
                    LargerChunkCase{"from_32_to_128_at_a_small_quantum", 32, 32, 48, 128}),
    [](const testing::TestParamInfo<LargerChunkCase>& info) {
      return std::string(info.param.name);
    });

// A smaller chunk later needs nothing: the FIFOs already hold more than it.
TEST(SmallerChunk, keeps_the_first_latency) {
  FilterRig rig({make_chunk(128), make_chunk(32)});
  rig.cycles({256, 256, 96, 96, 96});
  rig.expect_backlog(128);
  rig.expect_delayed(0, 128);
  rig.expect_delayed(1, 128);
}

TEST(NullBuffers, a_null_output_still_consumes_its_quantum) {
  FilterRig rig;
  rig.cycle(100);
  rig.out[1].null_buffer = true;
  rig.cycles({100, 100});
  EXPECT_EQ(rig.out[1].samples, std::vector<float>(100, 12345.0f));  // never written
  rig.out[1].null_buffer = false;
  rig.cycles({100, 100});
  rig.expect_backlog(64);
  rig.expect_delayed(0, 64);
  // Channel 1 picks up exactly where it would be had its buffer been there all along.
  const size_t gone_from = 100, gone_to = 300;
  for (size_t t = 0; t < rig.delivered[1].size(); ++t) {
    if (t >= gone_from && t < gone_to) continue;
    const float expected = t < 64 ? 0.0f : engine_gain * rig.fed[1][t - 64];
    ASSERT_EQ(rig.delivered[1][t], expected) << t;
  }
}

TEST(NullBuffers, a_null_input_feeds_silence_into_its_fifo) {
  FilterRig rig;
  rig.in[0].null_buffer = true;
  rig.cycles({128, 128});
  rig.in[0].null_buffer = false;
  rig.cycles({128, 128});
  rig.expect_backlog(64);
  rig.expect_delayed(0, 64);  // fed holds zeros where the buffer was null
  rig.expect_delayed(1, 64);
}

TEST(NullBuffers, null_port_handles_count_as_null_buffers) {
  FilterRig rig;
  rig.host.in_ports[1] = nullptr;
  rig.host.out_ports[0] = nullptr;
  rig.cycles({128, 128, 128});
  EXPECT_EQ(null_handle_requests, 0);
  EXPECT_EQ(rig.out[0].requests, 0u);
  rig.expect_backlog(64);
  // Channel 1 had no input: its output is processed silence, delivered on time.
  EXPECT_EQ(rig.out[1].samples, std::vector<float>(128, 0.0f));
}

TEST(NullPosition, leaves_everything_as_it_was) {
  FilterRig rig;
  rig.cycle(64);
  const std::vector<float> before = rig.out_fifo(0);
  rig.out[0].samples.assign(64, 7.0f);
  on_pw_process(&rig.host, nullptr);
  EXPECT_EQ(rig.out_fifo(0), before);
  EXPECT_EQ(rig.out[0].samples, std::vector<float>(64, 7.0f));
  EXPECT_EQ(rig.factory_calls.size(), 1u);
}

}  // namespace
