// Steady cycles of on_pw_process allocate nothing, counted by a replaced operator new.
#include <gtest/gtest.h>

#include "alloc_counter.h"
#include "steady_cycles.h"

namespace {

TEST(ProcessAllocations, steady_cycles_allocate_nothing) {
  for (const SteadyCycles& run : steady_cycles()) {
    SCOPED_TRACE(run.name);
    run_steady(run, [](auto&& cycles) {
      alloc_counter::start();
      cycles();
      EXPECT_EQ(alloc_counter::stop(), 0);
    });
  }
}

// Without this the zero above could come from a counter that counts nothing.
TEST(ProcessAllocations, the_counter_sees_an_allocation_inside_the_callback) {
  if (alloc_counter::under_realtime_sanitizer)
    GTEST_SKIP() << "the sanitizer stops that allocation itself";
  FilterRig rig;
  rig.prepare(64);
  rig.run(64);
  rig.in[0].allocate = true;
  alloc_counter::start();
  rig.run(64);
  EXPECT_GT(alloc_counter::stop(), 0);
}

}  // namespace
