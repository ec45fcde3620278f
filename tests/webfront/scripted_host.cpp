// The scripted audio host: one poll loop over its listener and clients.
#include "scripted_host.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <stdexcept>
#include <vector>

ScriptedHost::ScriptedHost() {
  listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof address;
  if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(listen_fd_, 64) != 0 ||
      getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
    close(listen_fd_);
    throw std::runtime_error("the scripted host cannot listen");
  }
  port_ = ntohs(address.sin_port);
  thread_ = std::thread([this] { serve(); });
}

ScriptedHost::~ScriptedHost() {
  stop_ = true;
  thread_.join();
  close(listen_fd_);
}

void ScriptedHost::answer_with(std::string reply) {
  std::lock_guard<std::mutex> lock(mutex_);
  reply_ = std::move(reply);
}

void ScriptedHost::then_send(std::string late) {
  std::lock_guard<std::mutex> lock(mutex_);
  late_ = std::move(late);
}

bool ScriptedHost::wait_for_requests(int count) const {
  for (int i = 0; i < 500 && requests_ < count; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  return requests_ >= count;
}

static void send_all(int fd, const std::string& text) {
  for (size_t done = 0; done < text.size();) {
    const ssize_t sent = send(fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (sent <= 0) break;
    done += static_cast<size_t>(sent);
  }
}

void ScriptedHost::answer(int fd) {
  std::string reply, late;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    reply = reply_;
    late = late_;
  }
  send_all(fd, reply);
  if (late.empty()) return;
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  send_all(fd, late);
  ++late_sent_;
}

void ScriptedHost::serve() {
  struct Client {
    int fd;
    std::string received;
  };
  std::vector<Client> clients;
  while (!stop_) {
    std::vector<pollfd> waits{{listen_fd_, POLLIN, 0}};
    for (const Client& client : clients) waits.push_back({client.fd, POLLIN, 0});
    if (poll(waits.data(), waits.size(), 50) <= 0) continue;
    for (size_t i = clients.size(); i-- > 0;) {
      if (waits[i + 1].revents == 0) continue;
      Client& client = clients[i];
      char chunk[4096];
      const ssize_t got = recv(client.fd, chunk, sizeof chunk, 0);
      if (got <= 0) {
        close(client.fd);
        clients.erase(clients.begin() + static_cast<std::ptrdiff_t>(i));
        continue;
      }
      client.received.append(chunk, static_cast<size_t>(got));
      for (size_t end; (end = client.received.find('\n')) != std::string::npos;) {
        client.received.erase(0, end + 1);
        ++requests_;
        answer(client.fd);
      }
    }
    if (waits[0].revents != 0) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) clients.push_back({fd, ""});
    }
  }
  for (const Client& client : clients) close(client.fd);
}
