// The judgement of a recording, on recordings made up here: what the graph does to a loaded
// host passes, what a host lets out unprocessed fails.
#include <gtest/gtest.h>

#include <functional>

#include "audio_verdict.h"

namespace {

constexpr float bias = 0x1p-16f;
constexpr uint32_t latency = 64;

struct Out {
  float left, right;
};

// palvex-pipewire as it should be, with the fake engine (gain 0.5 and the bias): each cycle's
// input, the source's cycle from a graph time or the silence the graph gives when it has
// nothing new, comes out one chunk later. It starts with a chunk nothing processed.
class Host {
public:
  explicit Host(uint32_t quantum, uint32_t chunk = latency)
      : quantum_(quantum), backlog_(chunk, Out{0.0f, 0.0f}) {}

  std::vector<Out> run(uint64_t source_start) {
    for (uint32_t i = 0; i < quantum_; ++i) {
      const float processed = 0.5f * probe_signal(source_start + i);
      backlog_.push_back({processed + bias, -processed + bias});
    }
    return take();
  }
  std::vector<Out> run_on_silence() {
    backlog_.insert(backlog_.end(), quantum_, Out{bias, bias});
    return take();
  }
  // Faults: a sample of the backlog dropped, or delivered twice.
  void lose_a_sample() { backlog_.erase(backlog_.begin()); }
  void repeat_a_sample() { backlog_.insert(backlog_.begin(), backlog_.front()); }

private:
  std::vector<Out> take() {
    std::vector<Out> out(backlog_.begin(), backlog_.begin() + quantum_);
    backlog_.erase(backlog_.begin(), backlog_.begin() + quantum_);
    return out;
  }
  uint32_t quantum_;
  std::vector<Out> backlog_;
};

// The recorder: a cycle of the host's output at the graph time it ran at.
void record(std::vector<RecordedSample>& samples, uint64_t start, const std::vector<Out>& out) {
  for (size_t i = 0; i < out.size(); ++i)
    samples.push_back(
        {start + i, start, static_cast<uint32_t>(out.size()), out[i].left, out[i].right});
}

constexpr uint32_t quantum = 256;
constexpr int cycles = 400;
constexpr int odd_cycle = 200;  // where each case does something

// The host and the recorder through cycles; at odd_cycle the case takes over, for one cycle or
// to the end.
using OddCycle = std::function<void(Host&, std::vector<RecordedSample>&, uint64_t start)>;
std::vector<RecordedSample> recording(const OddCycle& odd) {
  Host host(quantum);
  std::vector<RecordedSample> samples;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const uint64_t start = static_cast<uint64_t>(cycle) * quantum;
    if (cycle == odd_cycle) {
      odd(host, samples, start);
      if (samples.size() >= static_cast<size_t>(cycles) * quantum) break;
    } else {
      record(samples, start, host.run(start));
    }
  }
  return samples;
}

struct VerdictCase {
  const char* name;
  OddCycle odd;
  size_t malformed, bad_breaks, engine_silence, torn;
  size_t missing = 0;
};

void PrintTo(const VerdictCase& c, std::ostream* os) { *os << c.name; }

class Judgement : public testing::TestWithParam<VerdictCase> {};

TEST_P(Judgement, tells_the_graph_from_the_host) {
  Expected expected;
  expected.bias = bias;
  const Verdict verdict = judge(recording(GetParam().odd), expected);
  EXPECT_EQ(verdict.malformed, GetParam().malformed) << verdict.first_fault;
  EXPECT_EQ(verdict.bad_breaks, GetParam().bad_breaks) << verdict.first_fault;
  EXPECT_EQ(verdict.engine_silence, GetParam().engine_silence);
  EXPECT_EQ(verdict.torn, GetParam().torn);
  EXPECT_EQ(verdict.missing, GetParam().missing);
  EXPECT_GE(verdict.checked, static_cast<size_t>(cycles - 2) * quantum);
}

void ordinary(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  record(samples, start, host.run(start));
}

// The graph gave the host nothing new for a cycle that the source missed.
void silent_input_seen_whole(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  record(samples, start, host.run_on_silence());
}

// The host ran late and at once again on silence; the recorder missed that cycle.
void run_again_unseen(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  record(samples, start, host.run(start));
  host.run_on_silence();
}

// The recorder saw the cycle on silence but missed the one after it.
void next_cycle_unseen(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  record(samples, start, host.run_on_silence());
  host.run(start);
}

// Faults of the host: its backlog replaced by a chunk nothing processed, as a FIFO made anew
// at a quantum change would give.
void unprocessed_chunk(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  std::vector<Out> out = host.run(start);
  std::fill(out.begin(), out.begin() + latency, Out{0.0f, 0.0f});
  record(samples, start, out);
}

// The same chunk as the engine's output of silence, but where no cycle of input starts.
void silence_fed_mid_cycle(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  std::vector<Out> out = host.run(start);
  std::fill(out.begin() + 128, out.begin() + 128 + latency, Out{bias, bias});
  record(samples, start, out);
}

// Input passed through as it came.
void passed_through(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  std::vector<Out> out = host.run(start);
  for (Out& sample : out) sample = {2.0f * (sample.left - bias), 2.0f * (sample.right - bias)};
  record(samples, start, out);
}

// One port had nothing new for a cycle, the other had.
void one_port_silent(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  std::vector<Out> out = host.run(start);
  for (size_t i = latency; i < out.size(); ++i) out[i].right = bias;
  record(samples, start, out);
}

// The recorder read the host's output while the host wrote its next cycle there: the left
// channel's first chunk is already the next cycle's.
void torn_read(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  std::vector<Out> out = host.run(start);
  for (size_t i = 0; i < latency; ++i)
    out[i].left = 0.5f * probe_signal(start + quantum + i - latency) + bias;
  record(samples, start, out);
}

// The recorder got no buffer for its right port in a cycle, or for neither port.
void no_right_buffer(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  record(samples, start, host.run(start));
  for (size_t i = samples.size() - quantum; i < samples.size(); ++i)
    samples[i].right = 0.0f, samples[i].no_right = true;
}
void no_buffers(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  record(samples, start, host.run(start));
  for (size_t i = samples.size() - quantum; i < samples.size(); ++i)
    samples[i] = {samples[i].time, start, quantum, 0.0f, 0.0f, true, true};
}

// Faults of the host where the recorder did get its buffer: the right port written with zeros
// for a cycle; or with no buffer for the right port, a chunk of zeros or input let through on
// the left.
void right_zeros(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  std::vector<Out> out = host.run(start);
  for (Out& sample : out) sample.right = 0.0f;
  record(samples, start, out);
}
void no_right_buffer_left_zeros(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  no_right_buffer(host, samples, start);
  for (size_t i = samples.size() - latency; i < samples.size(); ++i) samples[i].left = 0.0f;
}
void no_right_buffer_left_passed_through(Host& host, std::vector<RecordedSample>& samples,
                                         uint64_t start) {
  no_right_buffer(host, samples, start);
  for (size_t i = samples.size() - quantum; i < samples.size(); ++i)
    samples[i].left = probe_signal(samples[i].time);
}

// Fault of the host: the right channel a cycle behind the left from here on.
void channel_slipped(Host& host, std::vector<RecordedSample>& samples, uint64_t start) {
  for (uint64_t cycle_start = start; cycle_start < uint64_t{cycles} * quantum;
       cycle_start += quantum) {
    std::vector<Out> out = host.run(cycle_start);
    for (size_t i = 0; i < out.size(); ++i)
      out[i].right = -0.5f * probe_signal(cycle_start + i - latency - quantum) + bias;
    record(samples, cycle_start, out);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Recordings, Judgement,
    testing::Values(
        VerdictCase{"undisturbed", ordinary, 0, 0, 0, 0},
        VerdictCase{"silent_input_seen_whole", silent_input_seen_whole, 0, 0, quantum, 0},
        VerdictCase{"run_again_on_silence_unseen", run_again_unseen, 0, 0, latency, 0},
        VerdictCase{"cycle_after_silence_unseen", next_cycle_unseen, 0, 0, quantum - latency, 0},
        VerdictCase{"unprocessed_chunk", unprocessed_chunk, latency, 1, 0, 0},
        VerdictCase{"silence_fed_mid_cycle", silence_fed_mid_cycle, latency, 0, latency, 0},
        VerdictCase{"passed_through", passed_through, quantum, 0, 0, 0},
        VerdictCase{"one_port_silent_for_a_cycle", one_port_silent, 0, 0, quantum - latency, 0},
        VerdictCase{"torn_read", torn_read, 0, 0, 0, latency},
        VerdictCase{"channel_slipped", channel_slipped, (cycles - odd_cycle) * quantum, 0, 0,
                    (cycles - odd_cycle) * quantum},
        VerdictCase{"no_buffer_for_one_port", no_right_buffer, 0, 0, 0, 0, quantum},
        VerdictCase{"no_buffer_for_either_port", no_buffers, 0, 0, 0, 0, quantum},
        VerdictCase{"zeros_on_one_port", right_zeros, quantum, 0, 0, 0},
        VerdictCase{"zeros_beside_a_port_without_buffer", no_right_buffer_left_zeros, latency, 1, 0,
                    0, quantum},
        VerdictCase{"input_passed_through_beside_a_port_without_buffer",
                    no_right_buffer_left_passed_through, quantum, 0, 0, 0, quantum}),
    [](const testing::TestParamInfo<VerdictCase>& info) { return info.param.name; });

// While the links come up the recorder gets no buffer for its right port, then one that nothing
// was written to yet: the stream begins after that. A cycle of zeros later is the host's.
TEST(Judgement, the_stream_begins_where_the_recorder_hears_both_ports) {
  for (const bool zeros_later : {false, true}) {
    std::vector<RecordedSample> samples = recording(zeros_later ? right_zeros : ordinary);
    for (size_t i = 0; i < 5 * quantum; ++i) {
      samples[i].right = 0.0f;
      samples[i].no_right = i < 4 * quantum;
    }
    Expected expected;
    expected.bias = bias;
    const Verdict verdict = judge(samples, expected);
    EXPECT_EQ(verdict.first, 5 * quantum);
    EXPECT_EQ(verdict.missing, 0u);
    EXPECT_EQ(verdict.malformed, zeros_later ? quantum : 0u) << verdict.first_fault;
  }
}

// Where the graph explains breaks and deviations, input let through is still the host's.
TEST(Judgement, input_passed_through_fails_where_the_graph_explains_breaks) {
  Expected expected;
  expected.bias = bias;
  expected.graph_explains_breaks = true;
  EXPECT_EQ(judge(recording(passed_through), expected).malformed, quantum);
  EXPECT_EQ(judge(recording(ordinary), expected).malformed, 0u);
}

// The stand-in's first chunk of 1024 under a loaded daemon that now and then skips a cycle of
// 64 or tells the recorder a cycle's position wrong: each leaves the backlog the host held out
// of step with the graph clock, sixteen times as long as the fake's chunk of 64 would.
constexpr uint32_t long_backlog = 1024;
constexpr uint32_t small_quantum = 64;
constexpr int skip_every = 60;  // cycles: the skips displace over a quarter of the recording
constexpr int misplace_every = 4 * skip_every;

struct ShareCase {
  const char* name;
  void (*fault)(Host&);  // done once, at odd_cycle; null for none
  bool enough_one_chunk_late;
  bool settles;  // one chunk late again after every break
};

void PrintTo(const ShareCase& c, std::ostream* os) { *os << c.name; }

class OneChunkLate : public testing::TestWithParam<ShareCase> {};

TEST_P(OneChunkLate, allows_what_the_graph_displaced_and_nothing_the_host_shifted) {
  Host host(small_quantum, long_backlog);
  std::vector<RecordedSample> samples;
  Expected expected;
  expected.bias = bias;
  expected.latency = long_backlog;
  expected.graph_explains_breaks = true;
  uint64_t start = 0;
  for (int cycle = 0; cycle < cycles * 8; ++cycle, start += small_quantum) {
    // Nothing runs for the skipped cycle: the source's next one follows on from further on.
    if (cycle % skip_every == skip_every - 1) {
      start += small_quantum;
      expected.source_jumps.push_back(start);
    }
    if (cycle == odd_cycle && GetParam().fault != nullptr) GetParam().fault(host);
    // The recorder is told its position a cycle ahead, once.
    const bool misplaced = cycle % misplace_every == skip_every / 2;
    record(samples, misplaced ? start + small_quantum : start, host.run(start));
  }
  const Verdict verdict = judge(samples, expected);
  ASSERT_GT(verdict.breaks, 0u);
  // The recording itself is one that the old fixed share of nine tenths refused.
  EXPECT_LT(verdict.one_chunk_late, verdict.checked * 9 / 10);
  EXPECT_EQ(verdict.one_chunk_late >= least_one_chunk_late(verdict),
            GetParam().enough_one_chunk_late)
      << verdict.one_chunk_late << " of " << verdict.checked << ", at least "
      << least_one_chunk_late(verdict);
  EXPECT_EQ(verdict.bad_breaks == 0, GetParam().settles) << verdict.first_fault;
}

INSTANTIATE_TEST_SUITE_P(
    Shares, OneChunkLate,
    testing::Values(
        ShareCase{"graph_disturbances_only", nullptr, true, true},
        ShareCase{"a_sample_lost", [](Host& host) { host.lose_a_sample(); }, false, false},
        ShareCase{"a_sample_repeated", [](Host& host) { host.repeat_a_sample(); }, false, false}),
    [](const testing::TestParamInfo<ShareCase>& info) { return info.param.name; });

// After a late cycle the daemon may run the recorder before the host for a while: the recorder
// misses a cycle of its clock, then reads in each cycle the host's output of the one before,
// until the order comes back and one cycle of the host's output goes unread. Or the recorder's
// clock steps back one cycle instead. However long that lasts, the host's stream went on by
// one; a stretch that never comes back, or whose stream breaks, is the host's.
struct BehindCase {
  const char* name;
  int cycles_behind;      // -1: to the end of the recording
  bool clock_steps_back;  // the order comes back with the recorder's clock, not the stream
  bool lose_a_sample;     // the host, in the middle of the stretch
  bool enough_one_chunk_late;
};

void PrintTo(const BehindCase& c, std::ostream* os) { *os << c.name; }

class RecorderBehind : public testing::TestWithParam<BehindCase> {};

TEST_P(RecorderBehind, is_the_graphs_only_while_the_stream_goes_on_and_comes_back) {
  const BehindCase& behind = GetParam();
  const int last_behind = behind.cycles_behind < 0 ? cycles : odd_cycle + behind.cycles_behind;
  Host host(quantum);
  std::vector<std::vector<Out>> outputs;  // the host's, cycle by cycle
  for (int cycle = 0; cycle < cycles; ++cycle) {
    if (behind.lose_a_sample && cycle == (odd_cycle + last_behind) / 2) host.lose_a_sample();
    outputs.push_back(host.run(static_cast<uint64_t>(cycle) * quantum));
  }
  std::vector<RecordedSample> samples;
  for (int cycle = 0; cycle < cycles; ++cycle) {
    const uint64_t start = static_cast<uint64_t>(cycle) * quantum;
    if (cycle < odd_cycle || cycle > last_behind) {
      record(samples, start, outputs[cycle]);
    } else if (cycle > odd_cycle) {
      record(samples, start, outputs[cycle - 1]);
      // The recorder's clock steps back: it is told this cycle's time once more.
      if (cycle == last_behind && behind.clock_steps_back) record(samples, start, outputs[cycle]);
    }
  }
  Expected expected;
  expected.bias = bias;
  const Verdict verdict = judge(samples, expected);
  EXPECT_GE(verdict.out_of_step, static_cast<size_t>(std::max(1, behind.cycles_behind)) * quantum);
  EXPECT_EQ(verdict.one_chunk_late >= least_one_chunk_late(verdict), behind.enough_one_chunk_late)
      << verdict.out_of_step << " out of step, " << verdict.displaced << " displaced";
}

INSTANTIATE_TEST_SUITE_P(
    Stretches, RecorderBehind,
    testing::Values(BehindCase{"for_one_cycle", 1, false, false, true},
                    BehindCase{"for_twenty_cycles", 20, false, false, true},
                    BehindCase{"until_the_clock_steps_back", 4, true, false, true},
                    BehindCase{"to_the_end", -1, false, false, false},
                    BehindCase{"while_the_host_loses_a_sample", 20, false, true, false}),
    [](const testing::TestParamInfo<BehindCase>& info) { return info.param.name; });

}  // namespace
