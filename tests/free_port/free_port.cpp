#include "free_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <mutex>
#include <random>
#include <set>
#include <stdexcept>

namespace {

// The first port the kernel hands out to outgoing connections: below it, a port found free
// cannot be taken by one of the many connections the tests open before its server binds it.
int first_ephemeral_port() {
  std::ifstream range("/proc/sys/net/ipv4/ip_local_port_range");
  int low = 0;
  return range >> low ? low : 0;
}

// Binds a socket to the port (0: one the kernel picks) and answers the port it got, or 0.
int bind_once(int port, uint32_t address) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return 0;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(address);
  addr.sin_port = htons(static_cast<uint16_t>(port));
  socklen_t length = sizeof addr;
  const bool bound = bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0;
  close(fd);
  return bound ? ntohs(addr.sin_port) : 0;
}

}  // namespace

int free_tcp_port() {
  // A test that asks for a JSON port and a web port must get two different ones.
  static std::mutex mutex;
  static std::set<int> handed_out;
  static std::mt19937 random(
      static_cast<unsigned>(getpid()) * 2654435761u ^
      static_cast<unsigned>(std::chrono::steady_clock::now().time_since_epoch().count()));
  std::lock_guard<std::mutex> lock(mutex);
  constexpr int kLowest = 10000;
  const int highest = first_ephemeral_port() - 1;
  for (int tries = 0; highest - kLowest > 1000 && tries < 1000; ++tries) {
    const int port = std::uniform_int_distribution<int>(kLowest, highest)(random);
    // Tried as the servers bind: on every address.
    if (!handed_out.count(port) && bind_once(port, INADDR_ANY) == port) {
      handed_out.insert(port);
      return port;
    }
  }
  for (int tries = 0; tries < 1000; ++tries) {
    const int port = bind_once(0, INADDR_LOOPBACK);
    if (port == 0) break;
    if (handed_out.insert(port).second) return port;
  }
  throw std::runtime_error("no free loopback port");
}
