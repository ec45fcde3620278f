// Steady cycles of on_pw_process under RealtimeSanitizer, which aborts the process on any
// allocation, lock or blocking call inside the callback. Creating cycles block by design and
// are left out of the check by the callback itself.
#include <gtest/gtest.h>

#include "steady_cycles.h"

namespace {

TEST(ProcessRealtime, steady_cycles_make_no_unsafe_call) {
  for (const SteadyCycles& run : steady_cycles()) {
    SCOPED_TRACE(run.name);
    run_steady(run, [](auto&& cycles) { cycles(); });
  }
}

// Shows that the sanitizer really watches the callback.
TEST(ProcessRealtime, an_allocation_inside_the_callback_is_caught) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  FilterRig rig;
  rig.prepare(64);
  rig.run(64);
  rig.in[0].allocate = true;
  EXPECT_DEATH(rig.run(64), "RealtimeSanitizer");
}

}  // namespace
