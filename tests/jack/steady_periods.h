// The accepted periods that the real-time checks run: JACK sizes against engine chunks.
#pragma once

#include <jack/jack.h>

struct SteadyPeriod {
  jack_nframes_t frames;
  int chunk;
};

inline constexpr SteadyPeriod steady_periods[] = {{64, 64},   {256, 64},    {1024, 64},
                                                  {256, 256}, {1024, 1024}, {128, 32}};

inline constexpr int periods_per_size = 2000;
