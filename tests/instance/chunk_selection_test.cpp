// Frames-per-chunk choice for a sound-server period, for several engine lists.
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "instance_fixture.h"

TraceFile engine_trace;

namespace {

const std::string default_text = "Using default frames per chunk=64";
const std::string no_ratio_text = "Did not find a good frames per chunk ratio";

std::string selecting(uint32_t frames, bool multiple) {
  return "Selecting processing frames per chunk=" + std::to_string(frames) +
         (multiple ? " (direct multiple)" : "");
}

struct Period {
  uint32_t frames;
  uint32_t chosen;
  std::vector<std::string> texts;  // each a record of level 4, in order
};

struct EngineList {
  const char* name;
  const char* list;  // PALVEX_FAKE_CHUNK_LIST; the fake adds the ending 0, "NULL" gives none
  std::vector<Period> periods;
};

const EngineList engine_lists[] = {
    {"Ascending",
     "32,64,128,256",
     {
         {0, 64, {default_text}},
         {64, 64, {selecting(64, false)}},
         {192, 64, {selecting(64, true)}},  // last smaller divisor, not 32
         {1024, 256, {selecting(256, true)}},
         {16, 32, {selecting(32, true)}},  // first greater multiple
         {100, 64, {no_ratio_text, default_text}},
         {256, 256, {selecting(256, false)}},
         {4096, 256, {selecting(256, true)}},
     }},
    // The scan stops at 128 and never reaches the equal entry.
    {"Descending",
     "128,64",
     {{64, 128, {selecting(128, true)}}, {128, 128, {selecting(128, false)}}}},
    {"Empty", "", {{64, 64, {no_ratio_text, default_text}}, {0, 64, {default_text}}}},
    {"ZeroFirst", "0,64", {{64, 64, {no_ratio_text, default_text}}}},
    {"NoListAtAll", "NULL", {{64, 64, {no_ratio_text, default_text}}, {0, 64, {default_text}}}},
};

void PrintTo(const EngineList& c, std::ostream* out) { *out << c.name; }

class ChunkSelection : public InstanceTest, public testing::WithParamInterface<EngineList> {};

TEST_P(ChunkSelection, chooses_and_logs_for_each_period) {
  if (!rerun_in_child({{"PALVEX_FAKE_CHUNK_LIST", GetParam().list}})) return;
  for (const Period& period : GetParam().periods) {
    SCOPED_TRACE("frames " + std::to_string(period.frames));
    sink.clear();
    engine_trace.mark();
    EXPECT_EQ(select_frames_per_chunk(period.frames), period.chosen);

    std::vector<LoggedLine> expected;
    for (const std::string& text : period.texts) expected.push_back({4, text});
    EXPECT_EQ(sink.lines(), expected);
    // The engine's list is asked for once, and not at all for a period of 0.
    const std::vector<std::string> asked(period.frames == 0 ? 0 : 1,
                                         "palvex_GetPossibleChunkSizeInFrames");
    EXPECT_EQ(engine_trace.take(), asked);

    // Below INFO the choice stays the same and nothing is written.
    logger.logger().level = 3;
    EXPECT_EQ(select_frames_per_chunk(period.frames), period.chosen);
    logger.logger().level = 10;
    EXPECT_EQ(sink.lines(), expected);
  }
}

INSTANTIATE_TEST_SUITE_P(EngineLists, ChunkSelection, testing::ValuesIn(engine_lists),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
