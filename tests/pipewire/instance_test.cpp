// on_pw_process around the factory: when it creates, what it logs, pass-through meanwhile.
#include <gtest/gtest.h>

#include "filter_rig.h"

namespace {

using Records = std::vector<LoggedLine>;

TEST(Creation, first_cycle_logs_the_frames_then_the_instance) {
  FilterRig rig;
  rig.cycle(256);
  EXPECT_EQ(rig.rt_records.lines(),
            (Records{{4, "Process frames = 256"}, {9, "Instance OK, creating buffers"}}));
  rig.rt_records.clear();
  rig.cycles({256, 256});
  EXPECT_TRUE(rig.rt_records.lines().empty());
  EXPECT_EQ(rig.factory_calls, std::vector<uint32_t>{256});
}

TEST(Creation, a_new_quantum_releases_the_old_instance_after_the_new_one_exists) {
  FilterRig rig;
  rig.cycle(256);
  std::weak_ptr<ProcessingInstance> first = rig.host.instance;
  rig.cycle(128);
  EXPECT_TRUE(first.expired());
  ASSERT_NE(rig.host.instance, nullptr);
  EXPECT_EQ(rig.host.quantum, 128u);
}

// Each cycle: the frames, the creation on it, and whether the audio went through the engine.
struct Step {
  uint32_t frames;
  bool creates;
  bool processed;
};

struct RetryCase {
  const char* name;
  std::vector<Creation> script;
  std::vector<Step> steps;
};
void PrintTo(const RetryCase& c, std::ostream* out) { *out << c.name; }

class Retry : public testing::TestWithParam<RetryCase> {};

TEST_P(Retry, creates_only_when_the_frames_differ_from_the_last_good_instance) {
  const RetryCase& run = GetParam();
  FilterRig rig(run.script);
  for (size_t i = 0; i < run.steps.size(); ++i) {
    const Step& step = run.steps[i];
    const size_t calls_before = rig.factory_calls.size();
    const size_t fed_before = rig.fed[0].size();
    rig.cycle(step.frames);
    EXPECT_EQ(rig.factory_calls.size() - calls_before, step.creates ? 1u : 0u) << "cycle " << i;
    if (!step.processed) {
      // Pass-through: the cycle's input comes out as it went in.
      for (uint32_t s = 0; s < step.frames; ++s)
        ASSERT_EQ(rig.delivered[0][fed_before + s], rig.fed[0][fed_before + s]) << "cycle " << i;
      EXPECT_EQ(rig.out[1].samples, rig.in[1].samples) << "cycle " << i;
    } else {
      EXPECT_NE(rig.host.instance, nullptr) << "cycle " << i;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(
    Factory, Retry,
    testing::Values(RetryCase{"failing_factory_is_tried_on_every_cycle",
                              {failing(), failing(), failing()},
                              {{256, true, false}, {256, true, false}, {128, true, false}}},
                    RetryCase{"instance_without_process_counts_as_failed",
                              {without_process(), make_chunk(64)},
                              {{256, true, false}, {256, true, true}, {256, false, true}}},
                    RetryCase{"back_at_the_last_good_quantum_stays_in_pass_through",
                              {make_chunk(64), failing(), make_chunk(64)},
                              {{256, true, true},
                               {128, true, false},
                               {256, false, false},
                               {256, false, false},
                               {512, true, true}}},
                    RetryCase{"a_throwing_factory_is_a_failed_creation",
                              {make_chunk(64), throwing(), throwing(), make_chunk(64)},
                              {{256, true, true},
                               {128, true, false},
                               {128, true, false},
                               {256, false, false},
                               {64, true, true}}}),
    [](const testing::TestParamInfo<RetryCase>& info) { return std::string(info.param.name); });

TEST(FailedCreation, logs_invalid_instance_and_keeps_the_quantum) {
  FilterRig rig({make_chunk(64), failing()});
  rig.cycle(256);
  rig.rt_records.clear();
  rig.cycle(128);
  EXPECT_EQ(rig.rt_records.lines(),
            (Records{{4, "Process frames = 128"}, {3, "Invalid instance"}}));
  EXPECT_EQ(rig.host.quantum, 256u);
  EXPECT_EQ(rig.host.instance, nullptr);  // the old one is gone too
  EXPECT_EQ(rig.out[0].samples, rig.in[0].samples);
}

TEST(FailedCreation, a_throw_is_logged_once_with_its_text_through_the_main_logger) {
  FilterRig rig({throwing()});
  rig.cycle(256);
  EXPECT_EQ(rig.rt_records.lines(),
            (Records{{4, "Process frames = 256"}, {3, "Invalid instance"}}));
  EXPECT_EQ(rig.main_records.lines(),
            (Records{{2, "Creating the processing instance failed: engine exploded"}}));
  EXPECT_EQ(rig.host.quantum, 0u);
  EXPECT_EQ(rig.out[0].samples, rig.in[0].samples);
}

// The backlog of the last good instance waits through the pass-through and comes out first.
TEST(FailedCreation, a_later_success_delivers_the_old_backlog_first) {
  FilterRig rig({make_chunk(64), failing(), make_chunk(64)});
  rig.cycle(256);
  const std::vector<float> backlog = rig.out_fifo(0);
  rig.cycle(128);  // fails: pass-through, FIFOs untouched
  EXPECT_EQ(rig.out_fifo(0), backlog);
  rig.cycle(64);
  EXPECT_EQ(rig.out[0].samples, backlog);
  rig.expect_backlog(64);
}

TEST(PassThrough, before_any_instance_null_inputs_give_silence_and_null_outputs_are_skipped) {
  FilterRig rig({failing(), failing()});
  rig.in[0].null_buffer = true;
  rig.out[1].null_buffer = true;
  rig.cycle(100);
  EXPECT_EQ(rig.out[0].samples, std::vector<float>(100, 0.0f));
  EXPECT_EQ(rig.out[1].samples, std::vector<float>(100, 12345.0f));
  EXPECT_TRUE(rig.host.in_fifo.empty());
  EXPECT_TRUE(rig.host.out_fifo.empty());
}

TEST(Buffers, are_fetched_with_the_cycle_frames_on_all_four_ports) {
  FilterRig rig;
  rig.cycle(100);
  for (const TestPort* port : {&rig.in[0], &rig.in[1], &rig.out[0], &rig.out[1]}) {
    EXPECT_EQ(port->requests, 1u);
    EXPECT_EQ(port->last_frames, 100u);
  }
}

}  // namespace
