// on_jack_process on fake port buffers and the fake engine (output = input * 0.5).
#include <gtest/gtest.h>

#include "log_capture.h"
#include "process_fixture.h"

namespace {

using ProcessCallback = ProcessFixture;

constexpr float fake_gain = 0.5f;

struct Period {
  jack_nframes_t frames;
  int chunk;
  int result;
};

std::ostream& operator<<(std::ostream& out, const Period& p) {
  return out << p.frames << " frames, chunk " << p.chunk;
}

class AcceptedPeriod : public ProcessFixture, public ::testing::WithParamInterface<Period> {};

TEST_P(AcceptedPeriod, processes_every_frame_once_in_place_and_nothing_beyond) {
  const Period& p = GetParam();
  current_instance = make_test_instance(p.chunk);
  RecordingSink sink;
  ScopedRtLogger logger(10, sink);
  EXPECT_EQ(on_jack_process(p.frames, nullptr), 0);
  for (int channel = 0; channel < 2; ++channel) {
    for (size_t i = 0; i < output(channel).size(); ++i) {
      const float expected = i < p.frames ? input(channel)[i] * fake_gain : untouched;
      ASSERT_EQ(output(channel)[i], expected) << "channel " << channel << ", frame " << i;
    }
  }
  const std::vector<const _jack_port*> in_order = {jack_in_ports[0], jack_in_ports[1],
                                                   jack_out_ports[0], jack_out_ports[1]};
  EXPECT_EQ(fake_jack().buffer_fetches, in_order);
  EXPECT_TRUE(sink.lines().empty());
}

INSTANTIATE_TEST_SUITE_P(Sizes, AcceptedPeriod,
                         ::testing::Values(Period{64, 64, 0}, Period{256, 64, 0},
                                           Period{1024, 64, 0}, Period{128, 32, 0},
                                           Period{1024, 1024, 0}, Period{0, 64, 0}));

class RejectedPeriod : public ProcessFixture, public ::testing::WithParamInterface<Period> {};

TEST_P(RejectedPeriod, touches_no_buffer_calls_no_engine_and_logs_an_error_every_time) {
  const Period& p = GetParam();
  current_instance = make_test_instance(p.chunk);
  RecordingSink sink;
  ScopedRtLogger logger(10, sink);
  EXPECT_EQ(on_jack_process(p.frames, nullptr), 1);
  EXPECT_EQ(on_jack_process(p.frames, nullptr), 1);
  EXPECT_TRUE(fake_jack().buffer_fetches.empty());
  for (int channel = 0; channel < 2; ++channel)
    for (float sample : output(channel)) ASSERT_EQ(sample, untouched);
  const LoggedLine error{2, "JACK bad number of frames " + std::to_string(p.frames) +
                                " (expect a multiple of " + std::to_string(p.chunk) + ")"};
  EXPECT_EQ(sink.lines(), (std::vector<LoggedLine>{error, error}));
}

INSTANTIATE_TEST_SUITE_P(Sizes, RejectedPeriod,
                         ::testing::Values(Period{32, 64, 1}, Period{96, 64, 1}, Period{100, 64, 1},
                                           Period{64, 256, 1}));

TEST_F(ProcessCallback, a_rejected_period_below_error_level_builds_no_record) {
  current_instance = make_test_instance(64);
  RecordingSink sink;
  ScopedRtLogger logger(1, sink);
  EXPECT_EQ(on_jack_process(32, nullptr), 1);
  EXPECT_TRUE(sink.lines().empty());
}

TEST_F(ProcessCallback, a_rejected_period_without_rt_logger_still_returns_1) {
  current_instance = make_test_instance(64);
  RtLogger* previous = rt_logger;
  rt_logger = nullptr;
  EXPECT_EQ(on_jack_process(32, nullptr), 1);
  rt_logger = previous;
}

TEST_F(ProcessCallback, an_engine_chunk_of_0_rejects_instead_of_dividing_by_it) {
  current_instance = make_test_instance(0);
  RecordingSink sink;
  ScopedRtLogger logger(10, sink);
  EXPECT_EQ(on_jack_process(256, nullptr), 1);
  EXPECT_EQ(
      sink.lines(),
      (std::vector<LoggedLine>{{2, "JACK bad number of frames 256 (expect a multiple of 0)"}}));
}

TEST_F(ProcessCallback, without_an_instance_or_a_process_the_outputs_are_silent) {
  for (bool with_instance : {false, true}) {
    SCOPED_TRACE(with_instance ? "instance without process" : "no instance");
    for (int channel = 0; channel < 2; ++channel)
      std::fill(output(channel).begin(), output(channel).end(), untouched);
    current_instance = with_instance ? std::make_shared<ProcessingInstance>() : nullptr;
    EXPECT_EQ(on_jack_process(256, nullptr), 0);
    for (int channel = 0; channel < 2; ++channel) {
      for (size_t i = 0; i < output(channel).size(); ++i)
        ASSERT_EQ(output(channel)[i], i < 256 ? 0.0f : untouched) << "frame " << i;
    }
    EXPECT_EQ(input(0)[0], 1.0f);
  }
}

}  // namespace
