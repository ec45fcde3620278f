// The audio path: a gain per chunk and the output peaks, without allocation, lock or system call.
#include "audio_state.h"

#include <cmath>

namespace engine {

static void raise_peak(std::atomic<float>& peak, float value) PALVEX_REALTIME {
  float seen = peak.load(std::memory_order_relaxed);
  // A reader may have exchanged the peak to 0 meanwhile; the loop then raises the fresh value.
  while (value > seen && !peak.compare_exchange_weak(seen, value, std::memory_order_relaxed)) {
  }
}

void process_chunk(AudioState& state, float* const in[2], float* const out[2]) PALVEX_REALTIME {
  const int frames = state.chunk_frames;
  const float target = state.target_gain->load(std::memory_order_relaxed);
  const float start = state.current_gain;
  for (int channel = 0; channel < 2; ++channel) {
    const float* src = in[channel];
    float* dst = out[channel];  // may be the same buffer as src: each sample is read first
    float peak = 0.0f;
    if (target == start) {
      for (int i = 0; i < frames; ++i) {
        dst[i] = src[i] * target;
        peak = std::fmax(peak, std::fabs(dst[i]));
      }
    } else {
      // Reaches the target exactly on the last sample, so the next chunk is steady.
      const float step = (target - start) / static_cast<float>(frames);
      for (int i = 0; i < frames; ++i) {
        const float gain = i + 1 == frames ? target : start + step * static_cast<float>(i + 1);
        dst[i] = src[i] * gain;
        peak = std::fmax(peak, std::fabs(dst[i]));
      }
    }
    raise_peak(state.out_peak[channel], peak);
  }
  state.current_gain = target;
}

}  // namespace engine
