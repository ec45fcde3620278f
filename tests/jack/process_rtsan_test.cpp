// Accepted periods of on_jack_process under RealtimeSanitizer, which aborts the process on any
// allocation, lock or blocking call made inside the callback.
#include <gtest/gtest.h>

#include "log_capture.h"
#include "process_fixture.h"
#include "steady_periods.h"

namespace {

using ProcessRealtime = ProcessFixture;

TEST_F(ProcessRealtime, accepted_periods_make_no_unsafe_call) {
  for (const SteadyPeriod& period : steady_periods) {
    current_instance = make_test_instance(period.chunk);
    int failed = 0;
    for (int i = 0; i < periods_per_size; ++i) {
      clear_fetches();
      failed += on_jack_process(period.frames, nullptr);
    }
    EXPECT_EQ(failed, 0) << period.frames << " frames, chunk " << period.chunk;
  }
}

// The rejected period builds a log record, which the real-time rules allow only there.
TEST_F(ProcessRealtime, a_rejected_period_is_left_out_of_the_check) {
  current_instance = make_test_instance(64);
  RecordingSink sink;
  ScopedRtLogger logger(10, sink);
  EXPECT_EQ(on_jack_process(32, nullptr), 1);
  EXPECT_EQ(sink.lines().size(), 1u);
}

// Shows that the sanitizer really watches the callback.
TEST_F(ProcessRealtime, an_allocation_inside_the_callback_is_caught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  current_instance = make_test_instance(64);
  fake_jack().allocate_in_get_buffer = true;
  EXPECT_DEATH(on_jack_process(64, nullptr), "RealtimeSanitizer");
}

}  // namespace
