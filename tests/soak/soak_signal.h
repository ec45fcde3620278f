// The soak's known signal and the check of what the host made of it, sample by sample.
#pragma once

#include <cstdint>

// Noise-like samples, a pure function of the absolute frame time and the channel, never near
// zero (|s| from 0.125 to 0.625): a lost, repeated or shifted chunk shows as a wrong ratio.
float soak_signal(uint64_t frame_time, int channel);

// Checks one chunk of output against the signal: the ratio out/in is the engine's gain, which
// holds still within a chunk or ramps linearly across it after a change, and stays within
// [low_gain, high_gain]. False on the first sample that does not fit.
bool chunk_fits(const float* out, uint64_t frame_time, int channel, int frames, float low_gain,
                float high_gain);
