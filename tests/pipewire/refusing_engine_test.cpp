// on_pw_process with an engine that refuses its chunks: what it leaves in the output room
// must never reach the graph. This program's own engine audio call comes before the fake's.
#include <gtest/gtest.h>

#include "filter_rig.h"

extern "C" int palvex_ProcessAudio_Planar(palvex_Process, float* /*in*/[2], float* out[2]) {
  out[0][0] = 99.0f;  // half-written, then refused
  out[1][0] = 99.0f;
  return -1;
}

namespace {

TEST(RefusingEngine, its_chunks_come_out_as_silence) {
  FilterRig rig;
  for (int i = 0; i < 6; ++i) rig.cycle(100);
  rig.expect_backlog(64);
  for (int c = 0; c < 2; ++c)
    EXPECT_EQ(rig.delivered[c], std::vector<float>(600, 0.0f)) << "channel " << c;
}

}  // namespace
