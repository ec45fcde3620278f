// on_pw_process against engines that misbehave: one that stops writing its output, one that
// writes and then reports a failure, one that gives no chunk size as the instance is made.
// This program's own chunk query and audio call come before the fake engine's.
#include <gtest/gtest.h>

#include "filter_rig.h"

namespace {

// What the engine below does; reset by each test.
struct ScriptedEngine {
  enum Audio { processes, writes_nothing, writes_one_sample_then_fails };
  Audio audio_after = processes;  // what it does once `working_calls` calls have processed
  int working_calls = 0;
  int chunk = 64;
  int zero_chunk_reads = 0;  // the first this many chunk queries give 0
  int calls = 0;
};
ScriptedEngine engine;

constexpr float written_sample = 99.0f;

}  // namespace

extern "C" int palvex_GetProcessChunkFrames(palvex_Process) {
  if (engine.zero_chunk_reads > 0) {
    --engine.zero_chunk_reads;
    return 0;
  }
  return engine.chunk;
}

extern "C" int palvex_ProcessAudio_Planar(palvex_Process, float* in[2], float* out[2]) {
  const ScriptedEngine::Audio audio =
      engine.calls++ < engine.working_calls ? ScriptedEngine::processes : engine.audio_after;
  switch (audio) {
    case ScriptedEngine::processes:
      for (int c = 0; c < 2; ++c)
        for (int i = 0; i < engine.chunk; ++i) out[c][i] = engine_gain * in[c][i];
      return 0;
    case ScriptedEngine::writes_nothing:
      return 0;
    case ScriptedEngine::writes_one_sample_then_fails:
      out[0][0] = written_sample;
      out[1][0] = written_sample;
      return -1;
  }
  return 0;
}

namespace {

struct AudioCase {
  const char* name;
  ScriptedEngine::Audio audio_after;
  int working_calls;
};
void PrintTo(const AudioCase& c, std::ostream* out) { *out << c.name; }

class EngineOutput : public testing::TestWithParam<AudioCase> {};

// The room for each chunk is silence before the engine writes, and its result is not looked
// at: what the engine wrote goes out, what it left alone is silent, never older output.
TEST_P(EngineOutput, is_what_the_engine_wrote_into_silence_whatever_it_returns) {
  engine = ScriptedEngine{};
  engine.audio_after = GetParam().audio_after;
  engine.working_calls = GetParam().working_calls;
  FilterRig rig;
  for (int i = 0; i < 20; ++i) rig.cycle(100);  // 31 chunks, the FIFOs' storage reused
  rig.expect_backlog(64);

  const size_t processed = static_cast<size_t>(GetParam().working_calls) * 64;
  for (int c = 0; c < 2; ++c) {
    ASSERT_EQ(rig.delivered[c].size(), 2000u);
    for (size_t t = 0; t < rig.delivered[c].size(); ++t) {
      float expected = 0.0f;  // the first chunk's silence
      if (t >= 64) {
        const size_t in = t - 64;
        if (in < processed)
          expected = engine_gain * rig.fed[c][in];
        else if (GetParam().audio_after == ScriptedEngine::writes_one_sample_then_fails &&
                 in % 64 == 0)
          expected = written_sample;
      }
      ASSERT_EQ(rig.delivered[c][t], expected) << "channel " << c << ", sample " << t;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Engines, EngineOutput,
    testing::Values(AudioCase{"falls_silent_after_working", ScriptedEngine::writes_nothing, 10},
                    AudioCase{"never_writes", ScriptedEngine::writes_nothing, 0},
                    AudioCase{"writes_one_sample_then_reports_failure",
                              ScriptedEngine::writes_one_sample_then_fails, 0}),
    [](const testing::TestParamInfo<AudioCase>& info) { return std::string(info.param.name); });

// The first instance's chunk reads 0 as it is made: the FIFOs get their channels and their
// chunk of silence on the first cycle that has a chunk, before the engine runs against them.
TEST(ChunkSize, that_reads_zero_as_the_instance_is_made_primes_the_fifos_once_it_is_known) {
  for (int zero_reads : {1, 2}) {
    SCOPED_TRACE(std::to_string(zero_reads) + " reads of 0");
    engine = ScriptedEngine{};
    engine.working_calls = 1000;
    engine.zero_chunk_reads = zero_reads;
    FilterRig rig;
    // With 2, the first cycle's own read gives 0 as well: that cycle passes audio through.
    rig.cycles({100, 100, 100, 100, 100, 100});
    rig.expect_backlog(64);
    // From the first cycle that ran the engine on, its output is one chunk late.
    const size_t first_processed = static_cast<size_t>(zero_reads - 1) * 100;
    for (int c = 0; c < 2; ++c)
      for (size_t t = first_processed; t < rig.delivered[c].size(); ++t) {
        const float expected = t < first_processed + 64 ? 0.0f : engine_gain * rig.fed[c][t - 64];
        ASSERT_EQ(rig.delivered[c][t], expected) << "channel " << c << ", sample " << t;
      }
  }
}

}  // namespace
