// The two configuration sources of the web interface.
#include "web_backend.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "engine_log.h"
#include "json_syntax.h"
#include "protocol.h"

namespace engine {

using nlohmann::json;

// Short, so a host that went away never holds a web request (or a stop) for long.
constexpr int kConnectTimeoutMs = 1000;
constexpr int kReplyTimeoutMs = 2000;
constexpr size_t kMaxReplyBytes = 1024 * 1024;

WebReply LocalBackend::get() { return {200, config_->tree()}; }

WebReply LocalBackend::set(const json& changes) {
  std::string error;
  json changed = config_->set(changes, &error);
  if (!error.empty()) return {400, error_reply(error)};
  return {200, changed};
}

RemoteBackend::RemoteBackend(std::string address, int port)
    : address_(std::move(address)), port_(port) {}

RemoteBackend::~RemoteBackend() { disconnect(); }

void RemoteBackend::disconnect() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
  buffer_.clear();
}

static bool wait_for(int fd, short events, int timeout_ms) {
  pollfd wait{fd, events, 0};
  int ready;
  while ((ready = poll(&wait, 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return ready > 0;
}

bool RemoteBackend::connect_host() {
  if (port_ < 1 || port_ > 65535) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address_.c_str(), std::to_string(port_).c_str(), &hints, &found) != 0)
    return false;
  for (addrinfo* at = found; at != nullptr && fd_ < 0; at = at->ai_next) {
    int fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if (connect(fd, at->ai_addr, at->ai_addrlen) == 0 ||
        (errno == EINPROGRESS && wait_for(fd, POLLOUT, kConnectTimeoutMs) &&
         getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)) {
      fd_ = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (fd_ >= 0)
    log(kInfo,
        "Web server connected to the audio host at " + address_ + ":" + std::to_string(port_));
  return fd_ >= 0;
}

bool RemoteBackend::exchange(const std::string& line, std::string& reply) {
  size_t done = 0;
  while (done < line.size()) {
    ssize_t sent = send(fd_, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN && wait_for(fd_, POLLOUT, kReplyTimeoutMs)) continue;
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  for (;;) {
    size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      reply = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return true;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || buffer_.size() > kMaxReplyBytes ||
        !wait_for(fd_, POLLIN, static_cast<int>(left)))
      return false;
    char chunk[16384];
    ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

WebReply RemoteBackend::ask(const json& request) {
  const std::string line = to_text(request) + "\n";
  std::lock_guard<std::mutex> lock(mutex_);
  std::string reply;
  // A kept connection may have dropped since the last request (the host restarted):
  // then one fresh connection gets a second try.
  bool answered = false;
  for (int attempt = 0; attempt < 2 && !answered; ++attempt) {
    const bool fresh = fd_ < 0;
    if (fresh && !connect_host()) break;
    answered = exchange(line, reply);
    if (!answered) disconnect();
    if (!answered && fresh) break;
  }
  if (!answered) {
    const std::string where = address_ + ":" + std::to_string(port_);
    log(kVerb, "Audio host unreachable at " + where);
    return {502, error_reply("Audio host unreachable at " + where)};
  }
  // Whoever answers there may answer anything: nothing it sends may nest without bound.
  std::string error;
  json body = parse_json(reply, &error);
  if (!body.is_object()) {
    disconnect();
    return {502, error_reply("Audio host at " + address_ + ":" + std::to_string(port_) +
                             " answered something that is not a JSON object" +
                             (error.empty() ? "" : " (" + error + ")"))};
  }
  if (body.contains("error")) return {400, body};
  return {200, body};
}

WebReply RemoteBackend::get() { return ask(json{{"get", nullptr}}); }

WebReply RemoteBackend::set(const json& changes) { return ask(json{{"set", changes}}); }

}  // namespace engine
