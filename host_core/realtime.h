// Marks functions that run on a sound server's real-time thread. Under clang's
// RealtimeSanitizer every allocation, lock or blocking call made inside them is reported.
// It is a type attribute: it goes after the parameter list, on the declaration and the
// definition alike:  int on_jack_process(jack_nframes_t frames, void* arg) PALVEX_REALTIME;
#pragma once

#if defined(__clang__) && __clang_major__ >= 20
#define PALVEX_REALTIME [[clang::nonblocking]]
#else
#define PALVEX_REALTIME
#endif

// Inside a real-time function, for the rest of the scope: a path that may allocate by design
// (a rejected period's log record, an instance created on a quantum change) is left out of
// RealtimeSanitizer's checks.
#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define PALVEX_RT_CHECKS_OFF __rtsan::ScopedDisabler palvex_rt_checks_off_
#endif
#endif
#ifndef PALVEX_RT_CHECKS_OFF
#define PALVEX_RT_CHECKS_OFF
#endif
