// The soak's known signal and the check of what the host made of it, sample by sample.
#include "soak_signal.h"

#include <cmath>

float soak_signal(uint64_t frame_time, int channel) {
  uint64_t x = frame_time * 2 + static_cast<uint64_t>(channel) + 0x9E3779B97F4A7C15ull;
  x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;  // splitmix64's finaliser
  x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
  x ^= x >> 31;
  const float magnitude = static_cast<float>(1024 + (x & 4095)) / 8192.0f;
  return (x >> 63) != 0 ? -magnitude : magnitude;
}

bool chunk_fits(const float* out, uint64_t frame_time, int channel, int frames, float low_gain,
                float high_gain) {
  const float tolerance = 1e-4f;
  const float first = out[0] / soak_signal(frame_time, channel);
  const float last = out[frames - 1] / soak_signal(frame_time + frames - 1, channel);
  for (int i = 0; i < frames; ++i) {
    const float ratio = out[i] / soak_signal(frame_time + i, channel);
    if (!(ratio >= low_gain - tolerance && ratio <= high_gain + tolerance)) return false;
    const float line = first + (last - first) * static_cast<float>(i) / (frames - 1);
    if (std::fabs(ratio - line) > tolerance) return false;
  }
  return true;
}
