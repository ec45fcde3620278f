// The web server's connection limits, from the descriptors the process may open.
#include "web_limits.h"

#include <sys/resource.h>

#include <algorithm>

namespace engine {

// Clients of a JSON port (its own limit), and descriptors for everything else: the listeners,
// the event loops, the state files, the sound server's sockets, a host's remote connection.
constexpr unsigned long kJsonPortClients = 64;
constexpr unsigned long kReserve = 128;
// Past this a connection costs memory (up to its 144 KiB) without helping anyone.
constexpr unsigned long kMostPerListener = 512;
constexpr unsigned long kFewestPerListener = 8;
constexpr unsigned long kMostPerAddress = 32;

WebLimits web_limits_for(unsigned long descriptors) {
  const unsigned long spare =
      descriptors > kJsonPortClients + kReserve ? descriptors - kJsonPortClients - kReserve : 0;
  // Two listeners (HTTP and HTTPS) share what is spare.
  const unsigned long total = std::clamp(spare / 2, kFewestPerListener, kMostPerListener);
  WebLimits limits;
  limits.total = static_cast<unsigned>(total);
  // One address never takes more than a quarter, so a few of them cannot fill a listener.
  limits.per_address = static_cast<unsigned>(std::clamp(total / 4, 1ul, kMostPerAddress));
  return limits;
}

WebLimits web_limits() {
  rlimit limit{};
  unsigned long descriptors = 1024;
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY)
    descriptors = static_cast<unsigned long>(limit.rlim_cur);
  else if (limit.rlim_cur == RLIM_INFINITY)
    descriptors = 1ul << 20;
  return web_limits_for(descriptors);
}

}  // namespace engine
