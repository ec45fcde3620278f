// The end-to-end tests' judgement of a recording made by AudioProbe: is it the engine's output
// of the probe's signal, one chunk late, with nothing lost or repeated by the host?
#pragma once

#include <cstddef>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "audio_probe.h"

// What the recording should show.
struct Expected {
  float gain = 0.5f;  // the fake engine's
  long latency = 64;  // the first chunk
  long smallest_quantum = 256;
  float tolerance = 0.0f;  // the fake's gain of 0.5 is exact
  // What the engine adds to every sample (PALVEX_FAKE_BIAS), an exact binary fraction: with
  // one, the engine's output of silence is told from silence that nothing processed.
  float bias = 0.0f;
  // For quanta that are no multiples of each other: a break counts as the graph's only where
  // the recorder or the source saw the graph clock jump, or a silent cycle, within a backlog
  // and a cycle before it; silence only in whole recorded cycles or right after a clock jump;
  // any other deviation is counted as a transient. Each must be followed by the stream being
  // one chunk late again within a backlog and two longest cycles, or it is a bad break.
  // Otherwise breaks must be whole cycles of smallest_quantum.
  bool graph_explains_breaks = false;
  // With graph_explains_breaks: where the source's own clock jumped (AudioProbe::source_jumps).
  std::vector<uint64_t> source_jumps;
};

// PipeWire on a loaded virtual machine skips a cycle now and then, and around a quantum
// change the graph times it reports may jump: those are the graph's, not the host's. A host
// that ran late may be run again at once, before its input has anything new: the graph gives
// it silence then, which it processes like any input. The recorder, late as well, may see only
// the part of that which comes out one chunk into the next cycle, or read the host's output
// while the host writes its next cycle there. With a bias the engine's output of silence shows
// as such. What the host must never do shows anyway: any sample that is not the engine's
// output of a source sample or of silence, silence nothing processed other than whole cycles,
// and any break in the host's own stream other than whole skipped cycles (the chunk is 64, the
// smallest quantum 128 or 256). The latency shows where the graph runs undisturbed, which is
// nearly everywhere.
struct Verdict {
  size_t first = 0;           // index of the first processed sample
  size_t checked = 0;         // samples from there to the end
  size_t malformed = 0;       // not the engine's output of any source sample
  size_t silent = 0;          // samples of silence in whole cycles
  size_t engine_silence = 0;  // with a bias: the engine's output of silence on either channel
  size_t torn = 0;            // channels that are the engine's output of different cycles
  size_t unjudged = 0;        // silent or one-channel samples right after a graph clock jump
  size_t missing = 0;         // samples with a channel the graph gave nothing
  size_t breaks = 0;          // places where the host's stream does not go on by one
  size_t bad_breaks = 0;      // of those, not explained by the graph (see Expected)
  size_t one_chunk_late = 0;  // samples whose source sample is one chunk older
  size_t out_of_step = 0;     // processed source samples that are not one chunk late
  size_t displaced = 0;       // of those, what the graph's breaks and clock jumps account for
  size_t transients = 0;      // graph_explains_breaks: deviations the stream recovered from
  std::string first_fault;
  std::string first_transient;
  std::set<uint32_t> quanta;  // cycle lengths seen among the checked samples
};

Verdict judge(const std::vector<RecordedSample>& samples, const Expected& expected);

// How many samples must be one chunk late: every processed source sample but those the graph
// displaced. A clock jump, or a cycle that the daemon skipped, ran twice or gave the recorder
// stale, finds the host holding one backlog (the latency): that backlog comes out shifted
// against the graph clock until the stream breaks, or the recorder's clock jumps, back into
// step. So a stretch out of step may be as long as one backlog and one cycle for each break and
// clock jump in it or ending it, and for the end of the recording. The engine's chunk sets the
// share: with a backlog of 1024 each costs sixteen times what it costs with one of 64. A host
// that lost or repeated a sample stays out of step from there on, longer than the graph's
// breaks meanwhile account for, and never settles (bad_breaks). A stretch in which the daemon ran
// the recorder before the host counts whole: it begins or ends where the recorder's clock jumps
// and the stream goes on by one, one cycle behind, all through it.
size_t least_one_chunk_late(const Verdict& verdict);

// The expectations every sound recording meets: at least at_least samples checked, none
// malformed, little silence of any kind, no break the graph does not explain, and all one
// chunk late but what the graph's breaks displaced.
void expect_sound(const Verdict& verdict, const std::string& diagnostics, size_t at_least = 48000);
