// Listening sockets of the JSON control port, by port number, and the leases on them.
#include "json_port.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <string>

#include "engine_log.h"
#include "listening_socket.h"

namespace engine {

JsonPortLease::Listener::~Listener() { close(fd); }

namespace {

void notify(int notice_fd) {
  uint64_t one = 1;
  // Fails only when the counter would overflow: the lease has been told already.
  if (write(notice_fd, &one, sizeof one) < 0) {
  }
}

using PortLending = JsonPortLease::PortLending;

PortLending& json_ports() {
  // Never destroyed: an update thread may still give its port back while the program exits.
  static auto* lending =
      new PortLending([](JsonPortLease::Listener&, const int* was, const int* now) {
        if (was != nullptr) notify(*was);
        if (now != nullptr) notify(*now);
      });
  return *lending;
}

std::shared_ptr<JsonPortLease::Listener> open_port(int port) {
  if (port < 1 || port > 65535) {
    log(kError, "JSON control port " + std::to_string(port) + " cannot listen: not a TCP port");
    return nullptr;
  }
  std::string error;
  const int fd = listen_on_every_address(port, SOCK_NONBLOCK, error);
  if (fd < 0) {
    log(kError, "JSON control port " + std::to_string(port) + " cannot listen: " + error);
    return nullptr;
  }
  log(kInfo, "JSON control port listening on 0.0.0.0:" + std::to_string(port));
  return std::make_shared<JsonPortLease::Listener>(fd);
}

}  // namespace

JsonPortLease::JsonPortLease(std::unique_ptr<PortLending::Lease> lease, int notice_fd)
    : lease_(std::move(lease)), notice_fd_(notice_fd) {}

std::unique_ptr<JsonPortLease> JsonPortLease::take(int port) {
  const int notice_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (notice_fd < 0) {
    log(kError, std::string("JSON control port: eventfd failed: ") + std::strerror(errno));
    return nullptr;
  }
  bool made = false;
  std::unique_ptr<PortLending::Lease> lease = json_ports().borrow(
      port, notice_fd, [port] { return open_port(port); }, &made);
  if (!lease) {
    close(notice_fd);
    return nullptr;
  }
  // An older lease may be inside an accept it began while still the newest: once it is out,
  // every later one sees this lease as the newest.
  { std::lock_guard<std::mutex> wait_for_accepts((*lease)->accept_mutex); }
  if (!made)
    log(kInfo,
        "JSON control port 0.0.0.0:" + std::to_string(port) + " taken over by the new process");
  return std::unique_ptr<JsonPortLease>(new JsonPortLease(std::move(lease), notice_fd));
}

JsonPortLease::~JsonPortLease() {
  lease_->give_back();  // before the descriptor it would be told on closes
  close(notice_fd_);
}

int JsonPortLease::listen_fd() const { return (*lease_)->fd; }

void JsonPortLease::clear_notice() {
  uint64_t count = 0;
  if (read(notice_fd_, &count, sizeof count) < 0) {
  }  // EAGAIN: nothing to clear
}

bool JsonPortLease::accepting() const { return lease_->newest(); }

int JsonPortLease::accept_client(sockaddr_storage* peer) {
  Listener& listener = **lease_;
  std::lock_guard<std::mutex> lock(listener.accept_mutex);
  if (!lease_->newest()) {
    errno = EAGAIN;
    return -1;
  }
  socklen_t length = sizeof *peer;
  return accept4(listener.fd, reinterpret_cast<sockaddr*>(peer), &length,
                 SOCK_NONBLOCK | SOCK_CLOEXEC);
}

}  // namespace engine
