// What the web server allows each listener: connections in total and per client address, the
// idle time-out, the memory of one connection and the size of a request body.
#pragma once

#include <cstddef>

namespace engine {

constexpr size_t kMaxWebBodyBytes = 64 * 1024;
// Room for a Cookie header of 64 KiB, which the library copies as it parses it, and what it
// keeps beside it.
constexpr size_t kWebConnectionMemory = 144 * 1024;
constexpr unsigned kWebIdleTimeoutS = 10;

struct WebLimits {
  unsigned total = 0;        // connections one listener holds at once
  unsigned per_address = 0;  // of which one client address may hold
};

// Derived from the process's descriptor limit, so that both listeners at their total, the
// clients of a JSON port and the rest of the program still fit below it.
WebLimits web_limits();
WebLimits web_limits_for(unsigned long descriptors);

}  // namespace engine
