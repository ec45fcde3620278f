// The JSON control ports of this process. A port is opened once and lent to the processes that
// serve it: a process made on a port that another process of this engine serves takes it
// over, the newest accepting, and the socket closes when the last one gives it back. Another
// program still cannot share it: the socket has no SO_REUSEPORT.
#pragma once

#include <netinet/in.h>

#include <memory>
#include <mutex>

#include "lending.h"

namespace engine {

class JsonPortLease {
public:
  // Opens the port on 0.0.0.0, or borrows it from the process that serves it; null (logged)
  // when it cannot listen.
  static std::unique_ptr<JsonPortLease> take(int port);
  ~JsonPortLease();  // gives the port back: the lease before it accepts again, or it closes
  JsonPortLease(const JsonPortLease&) = delete;
  JsonPortLease& operator=(const JsonPortLease&) = delete;

  int listen_fd() const;
  // Readable once this lease starts or stops being the newest; clear_notice() reads it.
  int notice_fd() const { return notice_fd_; }
  void clear_notice();
  bool accepting() const;  // the newest lease: only it accepts new clients
  // A new client (non-blocking), only while this lease is the newest: once a newer lease has
  // been taken, no older one accepts again. -1 with errno set otherwise (EAGAIN when none
  // waits or this lease is no longer the newest).
  int accept_client(sockaddr_storage* peer);

  struct Listener {
    explicit Listener(int descriptor) : fd(descriptor) {}
    ~Listener();
    const int fd;
    // Held across each accept, so that a lease taken over waits for one still under way.
    std::mutex accept_mutex;
  };
  // Each lease brings the descriptor that tells its loop it started or stopped accepting.
  using PortLending = Lending<int, Listener, int>;

private:
  JsonPortLease(std::unique_ptr<PortLending::Lease> lease, int notice_fd);
  std::unique_ptr<PortLending::Lease> lease_;
  int notice_fd_;
};

}  // namespace engine
