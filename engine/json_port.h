// The JSON control ports of this process. A port is opened once and lent to the processes that
// serve it: a process made on a port that another process of this engine serves takes it
// over, the newest accepting, and the socket closes when the last one gives it back. Another
// program still cannot share it: the socket has no SO_REUSEPORT.
#pragma once

#include <memory>

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

  struct SharedPort;

private:
  JsonPortLease(std::shared_ptr<SharedPort> port, int notice_fd);
  std::shared_ptr<SharedPort> port_;
  int notice_fd_;
};

}  // namespace engine
