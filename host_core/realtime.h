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
