// Steady-state runs of on_pw_process for the allocation and RealtimeSanitizer checks: each
// warms up (creation, FIFO growth) before the cycles that are checked.
#pragma once

#include <cstdint>
#include <vector>

#include "filter_rig.h"

struct SteadyCycles {
  const char* name;
  std::vector<Creation> script;
  std::vector<uint32_t> warm_up;  // cycles before the checked ones, quantum changes included
  uint32_t frames;                // the checked cycles' quantum
  bool null_input_and_output;     // input FL and output FR without a buffer
};

inline const std::vector<SteadyCycles>& steady_cycles() {
  static const std::vector<SteadyCycles> cases = {
      {"quantum_256_chunk_64", {make_chunk(64)}, {256}, 256, false},
      {"quantum_100_chunk_64", {make_chunk(64)}, {100}, 100, false},
      {"quantum_32_chunk_64", {make_chunk(64)}, {32}, 32, false},
      {"quantum_1024_chunk_64", {make_chunk(64)}, {1024}, 1024, false},
      {"after_a_change_to_a_larger_chunk",
       {make_chunk(64), make_chunk(256)},
       {256, 512},
       512,
       false},
      {"after_a_change_to_a_smaller_chunk",
       {make_chunk(256), make_chunk(32)},
       {100, 48},
       48,
       false},
      {"with_null_buffers", {make_chunk(64)}, {128}, 128, true},
      {"pass_through_back_at_the_last_good_quantum",
       {make_chunk(64), failing(), failing()},
       {128, 256, 256},
       128,
       false},
  };
  return cases;
}

constexpr int checked_cycles = 64;

// Runs the warm-up cycles (each one creates, or tries to), then calls check(cycles) around
// every cycle that follows: from the one right after the last creation on, nothing may
// allocate, not even while the FIFOs fill up at the new quantum.
template <typename Check>
void run_steady(const SteadyCycles& run, Check&& check) {
  FilterRig rig(run.script);
  for (uint32_t n : run.warm_up) {
    rig.prepare(n);
    rig.run(n);
  }
  rig.prepare(run.frames);
  rig.in[0].null_buffer = run.null_input_and_output;
  rig.out[1].null_buffer = run.null_input_and_output;
  check([&] {
    for (int i = 0; i < checked_cycles; ++i) rig.run(run.frames);
  });
}
