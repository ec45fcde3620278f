// The two configuration sources of the web interface.
#include "web_backend.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
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
// Requests in flight to the host at once; one more waits this long for a connection to free.
constexpr size_t kConnections = 4;
constexpr int kQueueWaitMs = 500;

WebReply LocalBackend::get() { return {200, config_->tree()}; }

WebReply LocalBackend::set(const json& changes) {
  std::string error;
  json changed = config_->set(changes, &error);
  if (!error.empty()) return {400, error_reply(error)};
  return {200, changed};
}

RemoteBackend::RemoteBackend(std::string address, int port)
    : address_(std::move(address)), port_(port) {
  wake_fd_ = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

RemoteBackend::~RemoteBackend() {
  for (auto& connection : idle_) disconnect(*connection);
  if (wake_fd_ >= 0) close(wake_fd_);
}

void RemoteBackend::abandon() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    abandoned_ = true;
  }
  returned_.notify_all();
  // Never read back, so it stays readable for every wait from now on.
  const uint64_t one = 1;
  if (wake_fd_ >= 0 && write(wake_fd_, &one, sizeof one) < 0) {
  }
}

void RemoteBackend::disconnect(Connection& connection) {
  if (connection.fd >= 0) close(connection.fd);
  connection.fd = -1;
  connection.buffer.clear();
}

// False on the time-out and once abandoned.
bool RemoteBackend::wait_for(int fd, short events, int timeout_ms) const {
  pollfd waits[2] = {{fd, events, 0}, {wake_fd_, POLLIN, 0}};
  int ready;
  while ((ready = poll(waits, wake_fd_ >= 0 ? 2 : 1, timeout_ms)) < 0 && errno == EINTR) {
  }
  return ready > 0 && waits[1].revents == 0 && waits[0].revents != 0;
}

std::unique_ptr<RemoteBackend::Connection> RemoteBackend::take() {
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kQueueWaitMs);
  for (;;) {
    if (abandoned_) return nullptr;
    if (!idle_.empty()) {
      std::unique_ptr<Connection> connection = std::move(idle_.back());
      idle_.pop_back();
      return connection;
    }
    if (made_ < kConnections) {
      ++made_;
      return std::make_unique<Connection>();
    }
    if (returned_.wait_until(lock, deadline) == std::cv_status::timeout && idle_.empty() &&
        made_ >= kConnections)
      return nullptr;
  }
}

void RemoteBackend::give_back(std::unique_ptr<Connection> connection) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_.push_back(std::move(connection));
  }
  returned_.notify_one();
}

bool RemoteBackend::connect_host(Connection& connection) {
  if (port_ < 1 || port_ > 65535) return false;
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  if (getaddrinfo(address_.c_str(), std::to_string(port_).c_str(), &hints, &found) != 0)
    return false;
  for (addrinfo* at = found; at != nullptr && connection.fd < 0; at = at->ai_next) {
    int fd = socket(at->ai_family, at->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, at->ai_protocol);
    if (fd < 0) continue;
    int error = 0;
    socklen_t length = sizeof error;
    if (connect(fd, at->ai_addr, at->ai_addrlen) == 0 ||
        (errno == EINPROGRESS && wait_for(fd, POLLOUT, kConnectTimeoutMs) &&
         getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0)) {
      connection.fd = fd;
    } else {
      close(fd);
    }
  }
  freeaddrinfo(found);
  if (connection.fd >= 0)
    log(kInfo,
        "Web server connected to the audio host at " + address_ + ":" + std::to_string(port_));
  return connection.fd >= 0;
}

RemoteBackend::Outcome RemoteBackend::exchange(Connection& connection, const std::string& line,
                                               std::string& reply) {
  // Whatever the host sent since the last reply answers no request of ours: a line too many
  // would otherwise pair every later request with the reply before it.
  connection.buffer.clear();
  char chunk[16384];
  for (;;) {
    const ssize_t got = recv(connection.fd, chunk, sizeof chunk, MSG_DONTWAIT);
    if (got > 0) continue;
    if (got < 0 && errno == EINTR) continue;
    if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
    return Outcome::dropped;  // closed by the host, or reset
  }
  size_t done = 0;
  while (done < line.size()) {
    ssize_t sent = send(connection.fd, line.data() + done, line.size() - done, MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && errno == EAGAIN) {
      if (wait_for(connection.fd, POLLOUT, kReplyTimeoutMs)) continue;
      return abandoned() ? Outcome::abandoned : Outcome::timed_out;
    }
    if (sent <= 0) return Outcome::dropped;
    done += static_cast<size_t>(sent);
  }
  const auto deadline =
      std::chrono::steady_clock::now() + std::chrono::milliseconds(kReplyTimeoutMs);
  for (;;) {
    size_t newline = connection.buffer.find('\n');
    if (newline != std::string::npos) {
      reply = connection.buffer.substr(0, newline);
      connection.buffer.clear();
      return Outcome::answered;
    }
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                    deadline - std::chrono::steady_clock::now())
                    .count();
    if (left <= 0 || connection.buffer.size() > kMaxReplyBytes) return Outcome::timed_out;
    if (!wait_for(connection.fd, POLLIN, static_cast<int>(left)))
      return abandoned() ? Outcome::abandoned : Outcome::timed_out;
    ssize_t got = recv(connection.fd, chunk, sizeof chunk, 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
    if (got <= 0) return Outcome::dropped;
    connection.buffer.append(chunk, static_cast<size_t>(got));
  }
}

bool RemoteBackend::abandoned() {
  std::lock_guard<std::mutex> lock(mutex_);
  return abandoned_;
}

WebReply RemoteBackend::ask(const json& request) {
  const std::string where = address_ + ":" + std::to_string(port_);
  std::unique_ptr<Connection> connection = take();
  if (!connection) {
    if (abandoned()) return {503, error_reply("Web server stopping")};
    return {503, error_reply("Audio host at " + where + " busy")};
  }
  const std::string line = to_text(request) + "\n";
  std::string reply;
  // A kept connection may have dropped since the last request (the host restarted):
  // then one fresh connection gets a second try. A host that is slow gets none.
  Outcome outcome = Outcome::dropped;
  for (int attempt = 0; attempt < 2 && outcome == Outcome::dropped; ++attempt) {
    const bool fresh = connection->fd < 0;
    if (fresh && !connect_host(*connection)) break;
    outcome = exchange(*connection, line, reply);
    if (outcome != Outcome::answered) disconnect(*connection);
    if (fresh) break;
  }
  if (outcome == Outcome::answered) {
    // Whoever answers there may answer anything: nothing it sends may nest without bound.
    std::string error;
    json body = parse_json(reply, &error);
    if (!body.is_object()) {
      disconnect(*connection);
      give_back(std::move(connection));
      return {502, error_reply("Audio host at " + where +
                               " answered something that is not a JSON object" +
                               (error.empty() ? "" : " (" + error + ")"))};
    }
    give_back(std::move(connection));
    if (body.contains("error")) return {400, body};
    return {200, body};
  }
  give_back(std::move(connection));
  if (outcome == Outcome::abandoned || abandoned())
    return {503, error_reply("Web server stopping")};
  log(kVerb, "Audio host unreachable at " + where);
  return {502, error_reply("Audio host unreachable at " + where)};
}

WebReply RemoteBackend::get() { return ask(json{{"get", nullptr}}); }

WebReply RemoteBackend::set(const json& changes) { return ask(json{{"set", changes}}); }

}  // namespace engine
