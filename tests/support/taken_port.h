// A TCP port on 127.0.0.1 that the test itself listens on, so that a program finds it taken.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

class TakenPort {
public:
  TakenPort() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof addr;
    if (fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), size) == 0 &&
        ::listen(fd_, 4) == 0 && ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &size) == 0)
      port_ = ntohs(addr.sin_port);
  }
  ~TakenPort() {
    if (fd_ >= 0) ::close(fd_);
  }
  TakenPort(const TakenPort&) = delete;
  TakenPort& operator=(const TakenPort&) = delete;
  int port() const { return port_; }  // 0 when the port could not be taken

private:
  int fd_ = -1;
  int port_ = 0;
};
