// The raw client: plain sockets and poll, every wait bounded.
#include "raw_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdlib>

using Clock = std::chrono::steady_clock;

static int left_ms(Clock::time_point deadline) {
  const auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left > 0 ? static_cast<int>(left) : 0;
}

static std::string lower(std::string text) {
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

std::string RawReply::header(const std::string& name) const {
  const std::string wanted = "\r\n" + lower(name) + ":";
  const std::string all = lower(head);
  const size_t at = all.find(wanted);
  if (at == std::string::npos) return "";
  size_t start = at + wanted.size();
  while (start < head.size() && head[start] == ' ') ++start;
  const size_t end = head.find("\r\n", start);
  return head.substr(start, end == std::string::npos ? std::string::npos : end - start);
}

RawClient::RawClient(int port, const std::string& from, std::chrono::milliseconds timeout) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return;
  sockaddr_in source{};
  source.sin_family = AF_INET;
  inet_pton(AF_INET, from.c_str(), &source.sin_addr);
  sockaddr_in target{};
  target.sin_family = AF_INET;
  target.sin_port = htons(static_cast<uint16_t>(port));
  target.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int error = 0;
  socklen_t length = sizeof error;
  pollfd wait{fd, POLLOUT, 0};
  if (bind(fd, reinterpret_cast<sockaddr*>(&source), sizeof source) == 0 &&
      (connect(fd, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0 ||
       (errno == EINPROGRESS && poll(&wait, 1, static_cast<int>(timeout.count())) == 1 &&
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0))) {
    fd_ = fd;
  } else {
    close(fd);
  }
}

RawClient::~RawClient() { close_now(); }

void RawClient::close_now() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool RawClient::send_bytes(const std::string& bytes, std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  size_t done = 0;
  while (fd_ >= 0 && done < bytes.size()) {
    const ssize_t sent = send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (sent > 0) {
      done += static_cast<size_t>(sent);
      continue;
    }
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN) {
      pollfd wait{fd_, POLLOUT, 0};
      if (poll(&wait, 1, left_ms(deadline)) == 1 && (wait.revents & POLLOUT) != 0) continue;
    }
    return false;
  }
  return fd_ >= 0;
}

bool RawClient::receive_more(Clock::time_point deadline) {
  if (fd_ < 0 || ended_) return false;
  pollfd wait{fd_, POLLIN, 0};
  if (poll(&wait, 1, left_ms(deadline)) != 1) return false;
  char chunk[16384];
  const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
  if (got < 0 && (errno == EINTR || errno == EAGAIN)) return true;
  if (got <= 0) {
    ended_ = true;
    return false;
  }
  buffer_.append(chunk, static_cast<size_t>(got));
  return true;
}

RawReply RawClient::read_reply(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  RawReply reply;
  size_t head_end;
  while ((head_end = buffer_.find("\r\n\r\n")) == std::string::npos)
    if (!receive_more(deadline)) return reply;
  reply.head = buffer_.substr(0, head_end + 2);
  buffer_.erase(0, head_end + 4);
  const std::string length = reply.header("Content-Length");
  if (!length.empty()) {
    const size_t wanted = std::strtoul(length.c_str(), nullptr, 10);
    while (buffer_.size() < wanted)
      if (!receive_more(deadline)) return reply;
    reply.body = buffer_.substr(0, wanted);
    buffer_.erase(0, wanted);
  } else if (reply.head.find(" 100 ") == std::string::npos) {
    while (receive_more(deadline)) {
    }
    if (!ended_) return reply;
    reply.body = buffer_;
    buffer_.clear();
  }
  if (reply.head.compare(0, 7, "HTTP/1.") == 0 && reply.head.size() > 12)
    reply.status = std::atoi(reply.head.c_str() + 9);
  return reply;
}

bool RawClient::readable() {
  if (fd_ < 0) return true;
  pollfd wait{fd_, POLLIN, 0};
  return poll(&wait, 1, 0) == 1;
}

bool RawClient::closed_by_peer(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  while (receive_more(deadline)) {
  }
  return ended_;
}
