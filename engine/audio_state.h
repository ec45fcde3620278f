// What the audio path shares with the control side: only atomics, so neither waits.
#pragma once

#include <atomic>

namespace engine {

struct AudioState {
  explicit AudioState(int frames) : chunk_frames(frames) {}

  const int chunk_frames;                   // fixed for the life of the process
  std::atomic<float> target_gain{1.0f};     // linear; written by the control side
  std::atomic<float> out_peak[2] = {0.0f, 0.0f};  // raised by audio, exchanged to 0 by readers
  float current_gain = 1.0f;                // audio thread only: the gain the last chunk ended on

  static_assert(std::atomic<float>::is_always_lock_free, "the audio path takes no lock");
};

// One chunk: the gain ramps linearly across the chunk after a change, then holds exactly.
void process_chunk(AudioState& state, float* const in[2], float* const out[2]);

}  // namespace engine
