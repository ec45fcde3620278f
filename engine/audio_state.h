// What the audio path shares with the control side: only atomics, so neither waits.
#pragma once

#include <atomic>
#include <memory>

#include "realtime.h"

namespace engine {

struct AudioState {
  // The gain may be shared with other processes on the same configuration; a process starts
  // on it without a ramp.
  explicit AudioState(int frames, std::shared_ptr<std::atomic<float>> gain =
                                      std::make_shared<std::atomic<float>>(1.0f))
      : chunk_frames(frames),
        target_gain(std::move(gain)),
        current_gain(target_gain->load(std::memory_order_relaxed)) {}

  const int chunk_frames;                                 // fixed for the life of the process
  const std::shared_ptr<std::atomic<float>> target_gain;  // linear; written by the control side
  std::atomic<float> out_peak[2] = {0.0f, 0.0f};  // raised by audio, exchanged to 0 by readers
  float current_gain;  // audio thread only: the gain the last chunk ended on

  static_assert(std::atomic<float>::is_always_lock_free, "the audio path takes no lock");
};

// One chunk: the gain ramps linearly across the chunk after a change, then holds exactly.
void process_chunk(AudioState& state, float* const in[2], float* const out[2]) PALVEX_REALTIME;

}  // namespace engine
