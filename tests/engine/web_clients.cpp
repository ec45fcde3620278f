// The engine web tests' clients.
#include "web_clients.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "process.h"

using nlohmann::json;

static void clear_login_env() {
  for (const char* name : {"SETUP_USER", "ADMIN_USER", "SETUP_SECRET", "ADMIN_SECRET",
                           "SSL_CERTIFICATE_PATH", "SSL_PRIVATE_PATH"})
    unsetenv(name);
}

LoginEnv::LoginEnv(std::initializer_list<std::pair<const char*, const char*>> values) {
  clear_login_env();
  for (const auto& [name, value] : values) setenv(name, value, 1);
}

LoginEnv::~LoginEnv() { clear_login_env(); }

HttpReply to_reply(const httplib::Result& result) {
  HttpReply reply;
  if (!result) return reply;
  reply.status = result->status;
  reply.text = result->body;
  reply.body = json::parse(result->body, nullptr, false);
  reply.cookie = result->get_header_value("Set-Cookie");
  return reply;
}

Browser::Browser(int port, bool https) {
  if (https) {
    auto client = std::make_unique<httplib::SSLClient>("127.0.0.1", port);
    client->enable_server_certificate_verification(false);
    client_ = std::move(client);
  } else {
    client_ = std::make_unique<httplib::ClientImpl>("127.0.0.1", port);
  }
  client_->set_connection_timeout(std::chrono::seconds(5));
  client_->set_read_timeout(std::chrono::seconds(10));
}

HttpReply Browser::get(const std::string& path) {
  return to_reply(client_->Get(path.c_str(), headers()));
}

HttpReply Browser::post(const std::string& path, const std::string& body) {
  return to_reply(client_->Post(path.c_str(), headers(), body, "application/json"));
}

HttpReply Browser::login(const std::string& user, const std::string& secret) {
  HttpReply reply = post("/api/login", json{{"user", user}, {"secret", secret}}.dump());
  if (reply.status == 200) cookie_ = reply.cookie.substr(0, reply.cookie.find(';'));
  return reply;
}

httplib::Headers Browser::headers() const {
  if (cookie_.empty()) return {};
  return {{"Cookie", cookie_}};
}

int RawReply::status() const {
  return text.rfind("HTTP/1.1 ", 0) == 0 ? std::atoi(text.c_str() + 9) : 0;
}

int RawReply::answers() const {
  int count = 0;
  for (size_t at = text.find("HTTP/1.1 "); at != std::string::npos;
       at = text.find("HTTP/1.1 ", at + 1))
    ++count;
  return count;
}

static int connect_from(const char* source, int port) {
  const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  inet_pton(AF_INET, source, &address.sin_addr);
  sockaddr_in server = address;
  inet_pton(AF_INET, "127.0.0.1", &server.sin_addr);
  server.sin_port = htons(static_cast<uint16_t>(port));
  // The port is chosen at connect, as for any client: a port bound now would come from the
  // ports other tests are handed to listen on.
  int yes = 1;
  setsockopt(fd, IPPROTO_IP, IP_BIND_ADDRESS_NO_PORT, &yes, sizeof yes);
  if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

RawReply raw_request(int port, const std::string& bytes, const char* source, int quiet_ms) {
  RawReply reply;
  const int fd = connect_from(source, port);
  if (fd < 0) return reply;
  // The server may close before it read everything (a body it refused): what it answered
  // still counts.
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t now = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (now <= 0) break;
    sent += static_cast<size_t>(now);
  }
  char chunk[16384];
  pollfd wait{fd, POLLIN, 0};
  while (poll(&wait, 1, quiet_ms) > 0) {
    const ssize_t got = recv(fd, chunk, sizeof chunk, 0);
    if (got <= 0) {
      reply.closed = true;
      break;
    }
    reply.text.append(chunk, static_cast<size_t>(got));
  }
  close(fd);
  return reply;
}

int login_from(const char* source, int port, const std::string& user, const std::string& secret) {
  const std::string body = json{{"user", user}, {"secret", secret}}.dump();
  return raw_request(port,
                     "POST /api/login HTTP/1.1\r\nHost: x\r\nConnection: close\r\n"
                     "Content-Type: application/json\r\nContent-Length: " +
                         std::to_string(body.size()) + "\r\n\r\n" + body,
                     source, 10000)
      .status();
}

SlowClients::SlowClients(int port, int count, bool trickle, const char* source) {
  for (int i = 0; i < count; ++i) {
    const int fd = connect_from(source, port);
    if (fd < 0) continue;
    fds_.push_back(fd);
    if (trickle) send_line(fd, "GET / HTTP/1.1");
  }
  if (trickle) {
    thread_ = std::thread([this] {
      std::unique_lock<std::mutex> lock(mutex_);
      for (int line = 0; !stop_.wait_for(lock, std::chrono::seconds(1), [this] { return done_; });
           ++line)
        for (int fd : fds_) send_line(fd, "X-Slow-" + std::to_string(line) + ": 1");
    });
  }
}

SlowClients::~SlowClients() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    done_ = true;
  }
  stop_.notify_all();
  if (thread_.joinable()) thread_.join();
  for (int fd : fds_) close(fd);
}

void SlowClients::send_line(int fd, const std::string& line) {
  const std::string text = line + "\r\n";
  (void)send(fd, text.data(), text.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
}

Certificate::Certificate() {
  ProcessResult made = run_process({"/usr/bin/openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                                    "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", key,
                                    "-out", cert, "-days", "2", "-subj", "/CN=localhost"});
  EXPECT_TRUE(made.exited && made.status == 0) << made.err;
}

LoginEnv operator_with_certificate(const std::string& cert, const std::string& key) {
  return LoginEnv({{"SETUP_USER", "operator"},
                   {"SETUP_SECRET", "s3cret"},
                   {"SSL_CERTIFICATE_PATH", cert.c_str()},
                   {"SSL_PRIVATE_PATH", key.c_str()}});
}

LoginEnv operator_with_certificate(const Certificate& certificate) {
  return operator_with_certificate(certificate.cert, certificate.key);
}
