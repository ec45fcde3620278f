// A TCP client that sends whatever bytes a test gives it, from any loopback address, and reads
// what a web server answers: for requests no well-behaved client would send.
#pragma once

#include <chrono>
#include <string>

struct RawReply {
  int status = 0;    // 0: no whole reply came
  std::string head;  // status line and header lines
  std::string body;
  std::string header(const std::string& name) const;  // "" when absent; case-insensitive
};

class RawClient {
public:
  // Connects to 127.0.0.1:port from the given source address (127.0.0.0/8).
  explicit RawClient(int port, const std::string& from = "127.0.0.1",
                     std::chrono::milliseconds timeout = std::chrono::seconds(5));
  ~RawClient();
  RawClient(const RawClient&) = delete;
  RawClient& operator=(const RawClient&) = delete;

  bool connected() const { return fd_ >= 0; }
  // False when not all of it went out within the time-out (or the peer closed).
  bool send_bytes(const std::string& bytes,
                  std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // The next reply, read to the end of its body (Content-Length, else until the peer closes).
  RawReply read_reply(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Whether something to read (or the end) has arrived, without waiting.
  bool readable();
  // True when the peer closes (or resets) the connection within the time-out.
  bool closed_by_peer(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  void close_now();

private:
  // Reads what is there within the time-out; false at the end of the stream or on a time-out.
  bool receive_more(std::chrono::steady_clock::time_point deadline);
  int fd_ = -1;
  bool ended_ = false;
  std::string buffer_;
};
