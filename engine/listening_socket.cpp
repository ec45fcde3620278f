// Opening a listening socket for the engine's servers.
#include "listening_socket.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace engine {

int listen_on_every_address(int port, int extra_flags, std::string& error) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | extra_flags, 0);
  if (fd < 0) {
    error = std::strerror(errno);
    return -1;
  }
  int yes = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  // The system's longest backlog: a burst of connections (a browser opens several at once) must
  // not make a client wait a second for its SYN's resend.
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    error = std::strerror(errno);
    close(fd);
    return -1;
  }
  return fd;
}

}  // namespace engine
