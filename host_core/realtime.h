// Marks functions that run on a sound server's real-time thread. Under clang's
// RealtimeSanitizer every allocation, lock or blocking call made inside them is reported.
#pragma once

#if defined(__clang__) && __clang_major__ >= 20
#define PALVEX_REALTIME [[clang::nonblocking]]
#else
#define PALVEX_REALTIME
#endif
