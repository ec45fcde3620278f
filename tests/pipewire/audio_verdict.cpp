// The end-to-end tests' judgement of a recording made by AudioProbe.
#include "audio_verdict.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace {

constexpr long engine_silence = -2;
constexpr long torn = -3;
constexpr long unheard = -4;  // the graph gave the recorder nothing on either port

bool heard_nothing(const RecordedSample& sample) { return sample.no_left && sample.no_right; }
bool sample_missing(const RecordedSample& sample) { return sample.no_left || sample.no_right; }

// The engine's output of silence, which only a bias tells from silence nothing processed.
bool engine_silent(float value, const Expected& expected) {
  return expected.bias != 0.0f && value == expected.bias;
}

// The step of the source's signal (1 to 8192) that the engine turned into processed (its
// output less the bias, with the left channel's sign), or -1.
long step_of(float processed, const Expected& expected) {
  const long step = std::lround(processed / expected.gain * 16384.0f);
  if (step < 1 || step > 8192) return -1;
  const float exact = expected.gain * static_cast<float>(step) / 16384.0f;
  return std::fabs(processed - exact) > expected.tolerance ? -1 : step;
}

// What a recorded sample says: the graph time of the source sample it came from (modulo the
// signal's period); engine_silence when both channels are the engine's output of silence;
// torn when each is the engine's output of a different source sample; unheard when the
// graph gave the recorder nothing on either port; -1 otherwise (silence nothing processed, another
// gain). Less the bias, which is an exact binary fraction, the channels are exact negatives.
// A channel the graph gave nothing says nothing: the other one tells alone.
long source_time(const RecordedSample& sample, const Expected& expected) {
  if (heard_nothing(sample)) return unheard;
  const float left = sample.left - expected.bias;
  const float right = sample.right - expected.bias;
  const long left_step =
      sample.no_left || engine_silent(sample.left, expected) ? 0 : step_of(left, expected);
  const long right_step =
      sample.no_right || engine_silent(sample.right, expected) ? 0 : step_of(-right, expected);
  if (left_step < 0 || right_step < 0) return -1;
  if (left_step == 0 && right_step == 0) return engine_silence;
  // The graph had nothing new for one port.
  if (left_step == 0) return right_step - 1;
  if (right_step == 0) return left_step - 1;
  if (left_step != right_step) return torn;
  return right == -left ? left_step - 1 : -1;
}

// The source's own signal on both channels (or on the one the recorder got), as if at a gain
// of 1: its step (1 to 8192), or 0.
long unprocessed_step(const RecordedSample& sample) {
  if (heard_nothing(sample)) return 0;
  const float left = sample.no_left ? -sample.right : sample.left;
  const long step = std::lround(left * 16384.0f);
  if (step < 1 || step > 8192) return 0;
  const bool exact = left == static_cast<float>(step) / 16384.0f;
  return exact && (sample.no_left || sample.no_right || sample.right == -sample.left) ? step : 0;
}

// Input let through unprocessed: the source's own signal in two samples in a row, which no
// other gain makes of two processed samples (a single one may happen to look so).
bool passed_through(const std::vector<RecordedSample>& samples, size_t i,
                    const Expected& expected) {
  const long step = expected.gain == 1.0f ? 0 : unprocessed_step(samples[i]);
  if (step == 0) return false;
  const long before = i > 0 ? unprocessed_step(samples[i - 1]) : 0;
  if (before != 0 && before % 8192 + 1 == step) return true;
  return i + 1 < samples.size() && unprocessed_step(samples[i + 1]) == step % 8192 + 1;
}

// Length of the run of silence that begins at i.
size_t silence_at(const std::vector<RecordedSample>& samples, size_t i) {
  size_t end = i;
  while (end < samples.size() && !heard_nothing(samples[end]) && samples[end].left == 0.0f &&
         samples[end].right == 0.0f)
    ++end;
  return end - i;
}

long modulo(long value, long divisor) { return ((value % divisor) + divisor) % divisor; }
long modulo_period(long value) { return modulo(value, 8192); }

bool starts_cycle(const RecordedSample& sample) { return sample.time == sample.start; }

// Where the host's output of one input cycle begins or ends: at the start of a recorded cycle
// or one chunk (the latency) into it.
bool at_input_cycle_edge(const RecordedSample& sample, size_t latency) {
  const uint64_t offset = sample.time - sample.start;
  return offset == 0 || offset == latency;
}

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
  return !sample.no_left && !sample.no_right && (sample.left == 0.0f) != (sample.right == 0.0f);
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

// The stream and the graph clock part or meet again only where the stream breaks or the
// recorder's clock jumps: each such place accounts for one backlog and the cycle it is in, for
// the stretch out of step it begins, lies in or ends. A stretch still open at the end of the
// recording may be the start of a displacement.
// After a late cycle the daemon may run the recorder before the host for a while: the recorder
// then reads the host's previous cycle, cycle after cycle, until the order comes back. Such a
// stretch is the graph's however long it lasts: the host's stream goes on by one throughout,
// one cycle behind the graph clock, and it begins or ends where the recorder's clock jumps while
// the stream goes on by one. A host that lost or repeated samples breaks its stream instead,
// and never comes back in step.
void account_displacement(const std::vector<RecordedSample>& samples, const Expected& expected,
                          const std::vector<size_t>& breaks_at, Verdict& verdict) {
  const size_t latency = static_cast<size_t>(expected.latency);
  auto is_break = [&](size_t i) {
    return std::binary_search(breaks_at.begin(), breaks_at.end(), i);
  };
  // The recorder's clock jumped at i while the stream went on by one.
  auto only_the_clock_jumps_at = [&](size_t i) {
    return clock_jumps_at(samples, i) && !is_break(i);
  };
  size_t stretch = 0, accounted = 0;
  long offset = -1;  // of the stretch's samples against the graph clock; -2 once they differ
  bool parted_at_clock_jump = false, met_at_clock_jump = false;
  bool back_in_step = true;
  auto end_stretch = [&](size_t also_accounted) {
    const bool recorder_behind =
        stretch > 0 && offset >= 0 && (parted_at_clock_jump || met_at_clock_jump);
    verdict.displaced += recorder_behind ? stretch : std::min(stretch, accounted + also_accounted);
    stretch = accounted = 0;
    offset = -1;
  };
  auto next_break = breaks_at.begin();
  for (size_t i = verdict.first; i < samples.size(); ++i) {
    const long from = source_time(samples[i], expected);
    const long one_chunk_back =
        modulo_period(static_cast<long>(samples[i].time) - expected.latency);
    const bool in_step = from >= 0 && from == one_chunk_back;
    if (!in_step && back_in_step) {
      end_stretch(0);
      back_in_step = false;
      parted_at_clock_jump = only_the_clock_jumps_at(i);
      met_at_clock_jump = false;
    }
    if (in_step && !back_in_step) met_at_clock_jump = only_the_clock_jumps_at(i);
    if (from >= 0 && !in_step) {
      ++stretch;
      ++verdict.out_of_step;
      const long off = modulo_period(one_chunk_back - from);
      offset = offset == -1 || offset == off ? off : -2;
    }
    const bool at_break = next_break != breaks_at.end() && *next_break == i;
    if (at_break) ++next_break;
    if (at_break || clock_jumps_at(samples, i)) accounted += latency + samples[i].cycle;
    if (in_step) back_in_step = true;
  }
  // A stretch still open at the end of the recording has not shown that it comes back.
  if (!back_in_step) parted_at_clock_jump = met_at_clock_jump = false;
  end_stretch(back_in_step || samples.empty() ? 0 : latency + samples.back().cycle);
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
  // The stream begins where the recorder hears both ports: while the links come up it may get
  // no buffer for one, then a first one that nothing was written to yet.
  while (verdict.first < samples.size() &&
         (sample_missing(samples[verdict.first]) || !late_by_one_chunk(verdict.first)))
    ++verdict.first;
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
  std::vector<size_t> breaks_at;
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
      fault(i,
            "still not one chunk late " + std::to_string(settle_window) + " samples after a break");
      settle_by = 0;
    }
    verdict.quanta.insert(samples[i].cycle);
    if (sample_missing(samples[i])) ++verdict.missing;
    // The recorder hears nothing but the host, so the source's own signal there is never the
    // graph's doing.
    if (passed_through(samples, i, expected)) {
      ++verdict.malformed;
      fault(i, "the source's signal passed through unprocessed");
      continue;
    }
    const long from = source_time(samples[i]);
    // What reached the recorder in a cycle the graph gave it nothing for is unknown: the graph's.
    // The stream goes on across it by as many samples.
    if (from == unheard) {
      size_t run = 1;
      while (i + run < samples.size() && heard_nothing(samples[i + run])) ++run;
      verdict.missing += run - 1;
      verdict.checked += run - 1;
      if (settle_by != 0) settle_by += run;
      i += run - 1;
      continue;
    }
    // What the engine made of a cycle of silence that the graph gave the host comes out from
    // one chunk into a cycle to one chunk into the next; a late recorder may see only the part
    // before or after a cycle it missed. Anywhere else the host fed its engine silence itself.
    if (from == engine_silence) {
      size_t run = 1;
      while (i + run < samples.size() && source_time(samples[i + run]) == engine_silence) ++run;
      if (!at_input_cycle_edge(samples[i], latency) ||
          (i + run < samples.size() && !at_input_cycle_edge(samples[i + run], latency))) {
        verdict.malformed += run;
        fault(i, "the engine's output of silence that is no whole cycle of input");
      }
      verdict.engine_silence += run;
      verdict.checked += run - 1;
      if (settle_by != 0) settle_by += run;
      i += run - 1;
      continue;
    }
    // The recorder read the host's output while the host, run again at once, wrote its next
    // cycle there: each channel is the engine's output, of another cycle. A host whose
    // channels slipped apart stays so.
    if (from == torn && !expected.graph_explains_breaks) {
      size_t run = 1;
      while (i + run < samples.size() && source_time(samples[i + run]) == torn) ++run;
      if (run > 2 * samples[i].cycle) {
        verdict.malformed += run;
        fault(i, "channels apart for " + std::to_string(run) + " samples");
      }
      verdict.torn += run;
      verdict.checked += run - 1;
      i += run - 1;
      continue;
    }
    if (engine_silent(samples[i].left, expected) || engine_silent(samples[i].right, expected))
      ++verdict.engine_silence;
    // Silence in whole cycles of the smallest quantum is the graph's (a cycle the host was
    // not run for, or ran too late for, such as the one that creates an instance).
    const size_t silence = from < 0 ? silence_at(samples, i) : 0;
    // With the graph's clock at hand: whole cycles of the recorder, or whole cycles that the
    // daemon gave the host no input for, which come out as silence one backlog later.
    // Right after a clock jump the recorder cannot tell which cycles the host ran: silence there
    // is left unjudged, and the stream must settle one chunk late again after it.
    const bool whole =
        expected.graph_explains_breaks
            ? whole_cycles(samples, i, silence) ||
                  (silence > 0 && i >= latency && whole_cycles(samples, i - latency, silence))
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
    long standing_in = 0;  // for samples of the stream, see below
    long not_heard = 0;
    for (; previous > verdict.first && source_time(samples[previous]) < 0; --previous) {
      const long what = source_time(samples[previous]);
      if (what == engine_silence || what == torn) ++standing_in;
      if (what == unheard) ++not_heard;
    }
    const long before = source_time(samples[previous]);
    if (before < 0) continue;
    const long step = modulo_period(from - before - 1 - not_heard);
    if (step == 0) continue;
    ++verdict.breaks;
    breaks_at.push_back(i);
    if (expected.graph_explains_breaks) {
      if (graph_disturbed_before(samples, i, disturbance_window(i), expected.source_jumps)) {
        settle_by = i + settle_window;
        continue;
      }
      transient(i, "a break of " + std::to_string(step) + " samples where the graph ran on");
    } else if (step % smallest_quantum != 0 &&
               // A cycle the recorder missed held as much of the stream as it saw of the
               // engine's output of silence; a torn read stands where the stream was.
               modulo(step - standing_in, smallest_quantum) != 0) {
      ++verdict.bad_breaks;
      fault(i, "a break of " + std::to_string(step) + " samples");
    }
  }
  account_displacement(samples, expected, breaks_at, verdict);
  return verdict;
}

size_t least_one_chunk_late(const Verdict& verdict) {
  return verdict.one_chunk_late + verdict.out_of_step - verdict.displaced;
}

void expect_sound(const Verdict& verdict, const std::string& diagnostics, size_t at_least) {
  EXPECT_GE(verdict.checked, at_least) << diagnostics;
  EXPECT_EQ(verdict.malformed, 0u) << verdict.first_fault << "\n" << diagnostics;
  EXPECT_LE(verdict.silent + verdict.engine_silence + verdict.unjudged + verdict.missing,
            verdict.checked / 20)
      << verdict.silent << " samples in silent cycles, " << verdict.engine_silence
      << " of the engine's output of silence, " << verdict.unjudged
      << " unjudged after clock jumps, " << verdict.missing
      << " with nothing from the graph on a port";
  EXPECT_EQ(verdict.bad_breaks, 0u) << verdict.first_fault;
  EXPECT_GE(verdict.one_chunk_late, least_one_chunk_late(verdict))
      << verdict.out_of_step << " out of step, " << verdict.displaced
      << " of them displaced by the graph (" << verdict.breaks << " breaks in the stream)";
}
