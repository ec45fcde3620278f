// The real-time contract, checked twice by clang: at compile time (-Wfunction-effects, an error
// in every clang build) and at run time (RealtimeSanitizer). Other compilers see none of it.
#pragma once

// Marks a function that runs on a sound server's real-time thread: it may not allocate, lock,
// block or call a function that is not marked too. A type attribute, written after the
// parameter list on the declaration and the definition alike:
//   int on_jack_process(jack_nframes_t frames, void* arg) PALVEX_REALTIME;
// Also usable in C, so the engine's header can carry it.
#if defined(__clang__) && defined(__has_attribute)
#if __has_attribute(nonblocking)
#define PALVEX_REALTIME __attribute__((nonblocking))
#endif
#endif
#ifndef PALVEX_REALTIME
#define PALVEX_REALTIME
#endif

#ifdef __cplusplus
#if defined(__has_feature)
#if __has_feature(realtime_sanitizer)
#include <sanitizer/rtsan_interface.h>
#define PALVEX_RT_CHECKS_OFF_ __rtsan::ScopedDisabler palvex_rt_checks_off_
#endif
#endif
#ifndef PALVEX_RT_CHECKS_OFF_
#define PALVEX_RT_CHECKS_OFF_
#endif

#if defined(__clang__)
#define PALVEX_RT_UNCHECKED_BEGIN_                                     \
  _Pragma("clang diagnostic push")                                     \
      _Pragma("clang diagnostic ignored \"-Wunknown-warning-option\"") \
          _Pragma("clang diagnostic ignored \"-Wfunction-effects\"")
#define PALVEX_RT_UNCHECKED_END_ _Pragma("clang diagnostic pop")
#else
#define PALVEX_RT_UNCHECKED_BEGIN_
#define PALVEX_RT_UNCHECKED_END_
#endif

// Inside a real-time function: a call that blocks by design (an instance created on a quantum
// change, a rejected period's log record). Neither check looks into it, so every such path is
// this one visible line at the place where it leaves the rules.
#define PALVEX_BLOCKING_BY_DESIGN(call) \
  do {                                  \
    PALVEX_RT_UNCHECKED_BEGIN_          \
    PALVEX_RT_CHECKS_OFF_;              \
    call;                               \
    PALVEX_RT_UNCHECKED_END_            \
  } while (0)

// Around a real-time definition that is safe for a reason the compiler cannot follow (a string
// move that frees nothing because the target holds no storage). RealtimeSanitizer still checks
// it at run time; the reason goes in a comment beside it.
#define PALVEX_UNPROVEN_BEGIN PALVEX_RT_UNCHECKED_BEGIN_
#define PALVEX_UNPROVEN_END PALVEX_RT_UNCHECKED_END_
#endif
