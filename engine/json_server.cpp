// Serving the control protocol over TCP with poll: no thread per client, nothing blocks.
#include "json_server.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>

#include "engine_log.h"
#include "json_framer.h"
#include "protocol.h"

namespace engine {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

constexpr size_t kMaxClients = 64;
constexpr size_t kMaxPendingReply = 1024 * 1024;  // stop reading from a client that does not read
constexpr auto kDrainTime = std::chrono::seconds(2);
// A request begun must be whole within this time, so half requests cannot hold the table.
constexpr auto kRequestTime = std::chrono::seconds(5);

struct Client {
  int fd = -1;
  JsonFramer framer;
  std::string out;
  json last_seen = json::object();  // nothing seen yet: the first change answers everything
  bool closing = false;             // answered an error that ends the connection
  Clock::time_point close_by{};
  Clock::time_point last_active{};  // connected, or last read or wrote something
  bool in_request = false;          // holds part of a request, which must be whole by request_by
  Clock::time_point request_by{};
};

void send_pending(Client& client) {
  while (!client.out.empty()) {
    ssize_t sent = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent <= 0) return;  // EAGAIN: poll tells when to go on; errors show up on the next read
    client.out.erase(0, static_cast<size_t>(sent));
    client.last_active = Clock::now();
  }
}

void finish_with_error(Client& client, const std::string& text) {
  client.out += to_text(error_reply(text)) + "\n";
  client.closing = true;
  client.close_by = Clock::now() + kDrainTime;
}

void refuse_too_large(Client& client) {
  finish_with_error(client,
                    "Request too large (limit " + std::to_string(kMaxRequestBytes) + " bytes)");
}

// The number of requests answered.
int answer_values(ConfigTree& config, Client& client) {
  int answered = 0;
  std::string text, syntax_error;
  while (!client.closing && client.framer.next(text, syntax_error)) {
    if (text.size() > kMaxRequestBytes) {
      refuse_too_large(client);
      return answered;
    }
    client.out += to_text(answer_text(config, text, syntax_error, client.last_seen)) + "\n";
    ++answered;
  }
  if (!client.closing && client.framer.pending() > kMaxRequestBytes) refuse_too_large(client);
  return answered;
}

// The clock of a request runs from its first byte: each answered one starts the next afresh.
void time_request(Client& client, int answered, Clock::time_point now) {
  if (client.closing || client.framer.pending() == 0) {
    client.in_request = false;
  } else if (!client.in_request || answered > 0) {
    client.in_request = true;
    client.request_by = now + kRequestTime;
  }
}

// False when the connection is over.
bool read_from(ConfigTree& config, Client& client) {
  char buffer[16384];
  ssize_t got = recv(client.fd, buffer, sizeof buffer, 0);
  if (got < 0) return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR;
  if (got == 0) return false;       // a half request left behind is simply dropped
  if (client.closing) return true;  // draining what the client still sends after our error
  const auto now = Clock::now();
  client.last_active = now;
  client.framer.feed(buffer, static_cast<size_t>(got));
  time_request(client, answer_values(config, client), now);
  return true;
}

int milliseconds_until(Clock::time_point when, Clock::time_point now) {
  auto left = std::chrono::duration_cast<std::chrono::milliseconds>(when - now);
  return left.count() < 0 ? 0 : static_cast<int>(left.count()) + 1;
}

// With the table full, a new client takes the place of one that is ending anyway, else of the
// one idle longest: a crowd of idle or stuck connections cannot lock everyone else out.
bool sooner_closed(const Client& a, const Client& b) {
  if (a.closing != b.closing) return a.closing;
  return a.last_active < b.last_active;
}

void make_room(std::list<Client>& clients) {
  auto victim = clients.begin();
  for (auto it = clients.begin(); it != clients.end(); ++it)
    if (sooner_closed(*it, *victim)) victim = it;
  log(kVerb, "JSON control port: " + std::to_string(kMaxClients) +
                 " clients, closed the one idle longest for a new one");
  close(victim->fd);
  clients.erase(victim);
}

}  // namespace

void serve_json_port(ConfigTree& config, JsonPortLease& port, int wake_fd) {
  const int listen_fd = port.listen_fd();
  std::list<Client> clients;
  std::vector<pollfd> fds;
  for (;;) {
    // A process that lost the port to a newer one leaves the listener alone and serves on
    // only the clients it has.
    const bool accepting = port.accepting();
    fds.clear();
    fds.push_back({wake_fd, POLLIN, 0});
    fds.push_back({port.notice_fd(), POLLIN, 0});
    fds.push_back({accepting ? listen_fd : -1, POLLIN, 0});
    int timeout = -1;
    const auto now = Clock::now();
    for (Client& client : clients) {
      short events = 0;
      if (client.closing || client.out.size() < kMaxPendingReply) events |= POLLIN;
      if (!client.out.empty()) events |= POLLOUT;
      fds.push_back({client.fd, events, 0});
      if (client.closing || client.in_request) {
        int ms = milliseconds_until(client.closing ? client.close_by : client.request_by, now);
        if (timeout < 0 || ms < timeout) timeout = ms;
      }
    }
    if (poll(fds.data(), fds.size(), timeout) < 0 && errno != EINTR) {
      log(kError, std::string("JSON control port: poll failed: ") + std::strerror(errno));
      break;
    }
    if (fds[0].revents != 0) break;  // stop requested
    if (fds[1].revents != 0) port.clear_notice();

    size_t index = 3;
    for (auto it = clients.begin(); it != clients.end(); ++index) {
      Client& client = *it;
      const short revents = fds[index].revents;
      bool alive = true;
      if (revents & (POLLIN | POLLHUP | POLLERR)) alive = read_from(config, client);
      if (alive && client.in_request && !client.closing && Clock::now() >= client.request_by)
        finish_with_error(
            client, "Request incomplete after " + std::to_string(kRequestTime.count()) + " s");
      if (alive && !client.out.empty()) send_pending(client);
      if (alive && client.closing) {
        // Half-close once the error is out, and let the client's leftovers drain, so the
        // error is not lost to a reset.
        if (client.out.empty()) shutdown(client.fd, SHUT_WR);
        if (Clock::now() >= client.close_by) alive = false;
      }
      if (alive) {
        ++it;
      } else {
        close(client.fd);
        it = clients.erase(it);
      }
    }

    if ((fds[2].revents & POLLIN) && port.accepting()) {
      for (;;) {
        int fd = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) break;
        if (clients.size() >= kMaxClients) make_room(clients);
        clients.emplace_back();
        clients.back().fd = fd;
        clients.back().last_active = Clock::now();
      }
    }
  }
  for (Client& client : clients) close(client.fd);
}

}  // namespace engine
