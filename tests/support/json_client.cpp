// A client of a JSON control port on 127.0.0.1.
#include "json_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cmath>

int connect_loopback(int port, std::chrono::milliseconds timeout) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  timeval tv{static_cast<time_t>(timeout.count() / 1000),
             static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

JsonClient::JsonClient(int port) : fd_(connect_loopback(port)) {}

JsonClient::~JsonClient() { close_now(); }

void JsonClient::close_now() {
  if (fd_ >= 0) close(fd_);
  fd_ = -1;
}

bool JsonClient::send_text(const std::string& text) {
  size_t done = 0;
  while (fd_ >= 0 && done < text.size()) {
    const ssize_t sent = send(fd_, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) return false;
    done += static_cast<size_t>(sent);
  }
  return fd_ >= 0;
}

std::optional<std::string> JsonClient::next_line(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const size_t newline = buffer_.find('\n');
    if (newline != std::string::npos) {
      std::string line = buffer_.substr(0, newline);
      buffer_.erase(0, newline + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (fd_ < 0 || left.count() <= 0) return std::nullopt;
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) return std::nullopt;
    char chunk[4096];
    const ssize_t got = recv(fd_, chunk, sizeof chunk, 0);
    if (got <= 0) return std::nullopt;
    buffer_.append(chunk, static_cast<size_t>(got));
  }
}

nlohmann::json JsonClient::request(const std::string& text) {
  if (!send_text(text + "\n")) return nullptr;
  const std::optional<std::string> line = next_line();
  if (!line || line->empty()) return nullptr;
  return nlohmann::json::parse(*line, nullptr, false);
}

bool JsonClient::closed_by_peer(std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (fd_ >= 0) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) return false;
    pollfd wait{fd_, POLLIN, 0};
    if (poll(&wait, 1, static_cast<int>(left.count())) <= 0) return false;
    char chunk[4096];
    if (recv(fd_, chunk, sizeof chunk, 0) <= 0) return true;
  }
  return true;
}

std::string json_request(int port, const std::string& request) {
  JsonClient client(port);
  if (!client.send_text(request + "\n")) return "";
  return client.read_line();
}

double host_gain(int port) {
  const nlohmann::json tree = JsonClient(port).request(R"({"get":null})");
  if (!tree.is_object() || !tree.contains("in") || !tree["in"].contains("gain") ||
      !tree["in"]["gain"].is_number())
    return NAN;
  return tree["in"]["gain"].get<double>();
}
