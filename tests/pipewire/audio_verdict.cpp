// The end-to-end tests' judgement of a recording made by AudioProbe.
#include "audio_verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

// What a recorded sample says: the graph time of the source sample it came from (modulo the
// signal's period), or -1 when it is not the engine's output of a source sample (silence,
// another gain, channels that differ).
long source_time(const RecordedSample& sample, const Expected& expected) {
  const long step = std::lround(sample.left / expected.gain * 16384.0f);
  if (step < 1 || step > 8192 || sample.right != -sample.left) return -1;
  const float exact = expected.gain * static_cast<float>(step) / 16384.0f;
  if (std::fabs(sample.left - exact) > expected.tolerance) return -1;
  return step - 1;
}

// Length of the run of silence that begins at i.
size_t silence_at(const std::vector<RecordedSample>& samples, size_t i) {
  size_t end = i;
  while (end < samples.size() && samples[end].left == 0.0f && samples[end].right == 0.0f) ++end;
  return end - i;
}

long modulo_period(long value) { return ((value % 8192) + 8192) % 8192; }

bool starts_cycle(const RecordedSample& sample) { return sample.time == sample.start; }

// Silence from i to i + length covers whole cycles of the recorder.
bool whole_cycles(const std::vector<RecordedSample>& samples, size_t i, size_t length) {
  return starts_cycle(samples[i]) &&
         (i + length == samples.size() || starts_cycle(samples[i + length]));
}

// Between the recorder's cycle that ends before j and the one that begins at j, the graph clock
// did not go on by one cycle: the daemon skipped, repeated or re-timed cycles there.
bool clock_jumps_at(const std::vector<RecordedSample>& samples, size_t j) {
  if (j == 0 || !starts_cycle(samples[j])) return false;
  const RecordedSample& before = samples[j - 1];
  return samples[j].start != before.start + before.cycle;
}

// The recorder's or the source's clock jumped in the window samples before i, up to i: what
// reaches the recorder there comes from cycles the recorder did not see.
bool clock_jumped_before(const std::vector<RecordedSample>& samples, size_t i, size_t window,
                         const std::vector<uint64_t>& source_jumps) {
  for (size_t j = i > window ? i - window : 0; j <= i; ++j)
    if (clock_jumps_at(samples, j)) return true;
  const uint64_t to = samples[i].time;
  const uint64_t from = to > window ? to - window : 0;
  auto jump = std::lower_bound(source_jumps.begin(), source_jumps.end(), from);
  return jump != source_jumps.end() && *jump <= to;
}

// One channel silent and the other not.
bool one_channel_silent(const RecordedSample& sample) {
  return (sample.left == 0.0f) != (sample.right == 0.0f);
}

// A clock jump or a silent cycle in the window samples before i, up to i: what the graph did to
// the host's input in the samples that its output at i still comes from (its backlog and the
// cycle), or to the recorder itself.
bool graph_disturbed_before(const std::vector<RecordedSample>& samples, size_t i, size_t window,
                            const std::vector<uint64_t>& source_jumps) {
  for (size_t j = i > window ? i - window : 0; j <= i; ++j)
    if (samples[j].left == 0.0f && samples[j].right == 0.0f) return true;
  return clock_jumped_before(samples, i, window, source_jumps);
}

}  // namespace

Verdict judge(const std::vector<RecordedSample>& samples, const Expected& expected) {
  Verdict verdict;
  const long smallest_quantum = expected.smallest_quantum;
  auto source_time = [&](const RecordedSample& sample) { return ::source_time(sample, expected); };
  auto late_by_one_chunk = [&](size_t i) {
    return source_time(samples[i]) ==
           modulo_period(static_cast<long>(samples[i].time) - expected.latency);
  };
  while (verdict.first < samples.size() && !late_by_one_chunk(verdict.first)) ++verdict.first;
  // A host that keeps its backlog passes a disturbance of its input on one backlog later, and
  // is one chunk late again once a backlog of undisturbed input has gone through it; the window
  // allows for a longest cycle on either side. A host that lost or repeated samples stays off.
  const size_t latency = static_cast<size_t>(expected.latency);
  auto disturbance_window = [&](size_t i) { return latency + samples[i].cycle; };
  const size_t settle_window = latency + 2 * 1024;
  auto fault = [&](size_t i, const std::string& what) {
    if (verdict.first_fault.empty())
      verdict.first_fault = what + " at graph time " + std::to_string(samples[i].time) + ": " +
                            std::to_string(samples[i].left) + " / " +
                            std::to_string(samples[i].right);
  };
  // Graph-explained breaks: the end of the stretch in which the stream must be one chunk late
  // again; 0 when it is.
  size_t settle_by = 0;
  // The host's FIFOs keep a fixed backlog, so a sample it lost or repeated, or a channel it let
  // slip, shifts everything after it for good. A deviation that the stream recovers from (a
  // stale buffer of one cycle, a cycle run without the recorder) is the daemon's: counted, and
  // it too must settle.
  auto transient = [&](size_t i, const std::string& what) {
    ++verdict.transients;
    if (verdict.first_transient.empty())
      verdict.first_transient = what + " at graph time " + std::to_string(samples[i].time);
    if (settle_by == 0) settle_by = i + settle_window;
  };
  for (size_t i = verdict.first; i < samples.size(); ++i) {
    ++verdict.checked;
    if (settle_by != 0 && i > settle_by) {
      ++verdict.bad_breaks;
      fault(i, "still not one chunk late " + std::to_string(settle_window) +
                   " samples after a break");
      settle_by = 0;
    }
    verdict.quanta.insert(samples[i].cycle);
    const long from = source_time(samples[i]);
    // Silence in whole cycles of the smallest quantum is the graph's (a cycle the host was
    // not run for, or ran too late for, such as the one that creates an instance).
    const size_t silence = from < 0 ? silence_at(samples, i) : 0;
    // With the graph's clock at hand: whole cycles of the recorder, or whole cycles that the
    // daemon gave the host no input for, which come out as silence one backlog later.
    // Right after a clock jump the recorder cannot tell which cycles the host ran: silence there
    // is left unjudged, and the stream must settle one chunk late again after it.
    const bool whole = expected.graph_explains_breaks
                           ? whole_cycles(samples, i, silence) ||
                                 (silence > 0 && i >= latency &&
                                  whole_cycles(samples, i - latency, silence))
                           : silence % static_cast<size_t>(smallest_quantum) == 0;
    const bool after_jump =
        expected.graph_explains_breaks && (silence > 0 || one_channel_silent(samples[i])) &&
        clock_jumped_before(samples, i, disturbance_window(i), expected.source_jumps);
    if (!whole && after_jump) {
      const size_t unjudged = std::max<size_t>(silence, 1);
      verdict.unjudged += unjudged;
      verdict.checked += unjudged - 1;
      settle_by = i + unjudged + settle_window;
      i += unjudged - 1;
      continue;
    }
    if (silence > 0 && (whole || i + silence == samples.size())) {
      verdict.silent += silence;
      verdict.checked += silence - 1;
      if (settle_by != 0) settle_by += silence;
      i += silence - 1;
      continue;
    }
    if (from < 0) {
      if (expected.graph_explains_breaks) {
        transient(i, "not a processed source sample");
        continue;
      }
      ++verdict.malformed;
      fault(i, "not a processed source sample");
      continue;
    }
    if (late_by_one_chunk(i)) {
      ++verdict.one_chunk_late;
      settle_by = 0;
    }
    if (i == verdict.first) continue;
    // Across silent cycles the stream goes on from the last sample before them.
    size_t previous = i - 1;
    while (previous > verdict.first && source_time(samples[previous]) < 0) --previous;
    const long before = source_time(samples[previous]);
    if (before < 0) continue;
    const long step = modulo_period(from - before - 1);
    if (step == 0) continue;
    ++verdict.breaks;
    if (expected.graph_explains_breaks) {
      if (graph_disturbed_before(samples, i, disturbance_window(i), expected.source_jumps)) {
        settle_by = i + settle_window;
        continue;
      }
      transient(i, "a break of " + std::to_string(step) + " samples where the graph ran on");
    } else if (step % smallest_quantum != 0) {
      ++verdict.bad_breaks;
      fault(i, "a break of " + std::to_string(step) + " samples");
    }
  }
  return verdict;
}

void expect_sound(const Verdict& verdict, const std::string& diagnostics, size_t at_least) {
  EXPECT_GE(verdict.checked, at_least) << diagnostics;
  EXPECT_EQ(verdict.malformed, 0u) << verdict.first_fault << "\n" << diagnostics;
  EXPECT_LE(verdict.silent, verdict.checked / 20) << "samples in silent cycles";
  EXPECT_EQ(verdict.bad_breaks, 0u) << verdict.first_fault;
  EXPECT_GE(verdict.one_chunk_late, verdict.checked * 9 / 10)
      << verdict.breaks << " breaks in the stream";
}

