// Counts the heap allocations made by the calling thread between start and stop, through a
// replaced global operator new (and malloc, where no sanitizer owns it). Link the
// palvex_alloc_counter library only into test programs that want it.
#pragma once

namespace alloc_counter {

// Under RealtimeSanitizer an allocation inside a real-time callback ends the program before the
// counter can see it, so a test that allocates there on purpose must not run.
#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#define PALVEX_TEST_UNDER_RTSAN 1
#endif
#endif
#ifdef PALVEX_TEST_UNDER_RTSAN
constexpr bool under_realtime_sanitizer = true;
#else
constexpr bool under_realtime_sanitizer = false;
#endif

void start();  // begins counting on this thread, from 0
long stop();   // ends counting on this thread and returns the count
}  // namespace alloc_counter
