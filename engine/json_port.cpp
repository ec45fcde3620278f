// Listening sockets of the JSON control port, by port number, and the leases on them.
#include "json_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "engine_log.h"

namespace engine {

struct JsonPortLease::SharedPort {
  int port = 0;
  int fd = -1;
  std::vector<JsonPortLease*> leases;  // oldest first; the last one accepts
};

namespace {

std::mutex ports_mutex;  // guards ports and every SharedPort's leases
std::map<int, std::shared_ptr<JsonPortLease::SharedPort>> ports;

int open_port(int port) {
  if (port < 1 || port > 65535) {
    log(kError, "JSON control port " + std::to_string(port) + " cannot listen: not a TCP port");
    return -1;
  }
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log(kError, std::string("JSON control port: socket failed: ") + std::strerror(errno));
    return -1;
  }
  int on = 1;
  setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  // A long backlog: a burst of connections must not make new clients wait for a SYN resend.
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd, SOMAXCONN) != 0) {
    log(kError,
        "JSON control port " + std::to_string(port) + " cannot listen: " + std::strerror(errno));
    close(fd);
    return -1;
  }
  log(kInfo, "JSON control port listening on 0.0.0.0:" + std::to_string(port));
  return fd;
}

void notify(const JsonPortLease* lease) {
  uint64_t one = 1;
  // Fails only when the counter would overflow: the lease has been told already.
  if (write(lease->notice_fd(), &one, sizeof one) < 0) {
  }
}

}  // namespace

JsonPortLease::JsonPortLease(std::shared_ptr<SharedPort> port, int notice_fd)
    : port_(std::move(port)), notice_fd_(notice_fd) {}

std::unique_ptr<JsonPortLease> JsonPortLease::take(int port) {
  const int notice_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (notice_fd < 0) {
    log(kError, std::string("JSON control port: eventfd failed: ") + std::strerror(errno));
    return nullptr;
  }
  std::lock_guard<std::mutex> lock(ports_mutex);
  std::shared_ptr<SharedPort>& shared = ports[port];
  if (!shared) {
    const int fd = open_port(port);
    if (fd < 0) {
      ports.erase(port);
      close(notice_fd);
      return nullptr;
    }
    shared = std::make_shared<SharedPort>();
    shared->port = port;
    shared->fd = fd;
  } else {
    notify(shared->leases.back());  // it stops accepting
    log(kInfo,
        "JSON control port 0.0.0.0:" + std::to_string(port) + " taken over by the new process");
  }
  std::unique_ptr<JsonPortLease> lease(new JsonPortLease(shared, notice_fd));
  shared->leases.push_back(lease.get());
  return lease;
}

JsonPortLease::~JsonPortLease() {
  {
    std::lock_guard<std::mutex> lock(ports_mutex);
    std::vector<JsonPortLease*>& leases = port_->leases;
    const bool was_accepting = leases.back() == this;
    leases.erase(std::find(leases.begin(), leases.end(), this));
    if (leases.empty()) {
      close(port_->fd);
      ports.erase(port_->port);
    } else if (was_accepting) {
      notify(leases.back());  // a newer process went first: the older one accepts again
    }
  }
  close(notice_fd_);
}

int JsonPortLease::listen_fd() const { return port_->fd; }

void JsonPortLease::clear_notice() {
  uint64_t count = 0;
  if (read(notice_fd_, &count, sizeof count) < 0) {
  }  // EAGAIN: nothing to clear
}

bool JsonPortLease::accepting() const {
  std::lock_guard<std::mutex> lock(ports_mutex);
  return port_->leases.back() == this;
}

}  // namespace engine
