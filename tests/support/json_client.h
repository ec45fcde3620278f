// A client of a JSON control port on 127.0.0.1: one request a line, one reply line each.
#pragma once

#include <chrono>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>

// One connection to 127.0.0.1:port whose reads and writes time out; -1 when it cannot connect.
int connect_loopback(int port, std::chrono::milliseconds timeout = std::chrono::seconds(5));

class JsonClient {
public:
  explicit JsonClient(int port);
  ~JsonClient();
  JsonClient(const JsonClient&) = delete;
  JsonClient& operator=(const JsonClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  bool send_text(const std::string& text);  // false when not all of it went out
  // The next reply line without its newline; none after the time-out or once the peer closed.
  std::optional<std::string> next_line(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  std::string read_line(std::chrono::milliseconds timeout = std::chrono::seconds(5)) {
    return next_line(timeout).value_or("");
  }
  // Sends text and a newline and parses the reply: null when none came, discarded when it is
  // not JSON.
  nlohmann::json request(const std::string& text);
  bool closed_by_peer(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void close_now();

private:
  int fd_ = -1;
  std::string buffer_;
};

// One request on a fresh connection; the reply line, or "" when none came.
std::string json_request(int port, const std::string& request);
// The input gain the host's JSON port reports; NaN when it tells none.
double host_gain(int port);
