// Accepted periods of on_jack_process allocate nothing, counted by a replaced operator new.
#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "process_fixture.h"
#include "steady_periods.h"

namespace {

using ProcessAllocations = ProcessFixture;

TEST_F(ProcessAllocations, accepted_periods_allocate_nothing) {
  for (const SteadyPeriod& period : steady_periods) {
    SCOPED_TRACE(::testing::Message() << period.frames << " frames, chunk " << period.chunk);
    current_instance = make_test_instance(period.chunk);
    ASSERT_EQ(on_jack_process(period.frames, nullptr), 0);  // first use, outside the count
    alloc_counter::start();
    int failed = 0;
    for (int i = 0; i < periods_per_size; ++i) {
      clear_fetches();
      failed += on_jack_process(period.frames, nullptr);
    }
    const long allocations = alloc_counter::stop();
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(allocations, 0);
  }
}

// Without this the zero above could come from a counter that counts nothing.
TEST_F(ProcessAllocations, the_counter_sees_an_allocation_inside_the_callback) {
  if (alloc_counter::under_realtime_sanitizer)
    GTEST_SKIP() << "the sanitizer stops that allocation itself";
  current_instance = make_test_instance(64);
  fake_jack().allocate_in_get_buffer = true;
  alloc_counter::start();
  on_jack_process(64, nullptr);
  EXPECT_GT(alloc_counter::stop(), 0);
}

}  // namespace
