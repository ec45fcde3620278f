// Serving the control protocol over TCP with poll: no thread per client, nothing blocks.
#include "json_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <list>
#include <map>

#include "engine_log.h"
#include "http_lines.h"
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
// When accepting fails for want of descriptors or memory, the listener rests this long, so
// the loop never spins on a connection it cannot take.
constexpr auto kAcceptRest = std::chrono::milliseconds(100);
constexpr auto kHttpWarningEvery = std::chrono::minutes(1);

struct Client {
  int fd = -1;
  std::string address;  // the peer's, for the log
  JsonFramer framer;
  std::string out;
  json last_seen = json::object();  // nothing seen yet: the first change answers everything
  bool closing = false;             // answered an error that ends the connection
  Clock::time_point close_by{};
  Clock::time_point last_active{};  // connected, or last read or wrote something
  bool in_request = false;          // holds part of a request, which must be whole by request_by
  Clock::time_point request_by{};
  bool peer_done = false;      // the client has sent all it will: it gets its replies, then goes
  bool spoke_http = false;     // to be logged; closing, nothing more it sends is read as a request
  bool had_bad_line = false;   // a line invalid from its first byte has been seen
  int answered_since_bad = 0;  // values and errors answered since that line ended
};

std::string address_text(const sockaddr_storage& peer) {
  char text[INET6_ADDRSTRLEN] = "?";
  if (peer.ss_family == AF_INET)
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in&>(peer).sin_addr, text, sizeof text);
  else if (peer.ss_family == AF_INET6)
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6&>(peer).sin6_addr, text, sizeof text);
  return text;
}

// False when the connection is broken.
bool send_pending(Client& client) {
  while (!client.out.empty()) {
    ssize_t sent = send(client.fd, client.out.data(), client.out.size(), MSG_NOSIGNAL);
    if (sent < 0 && errno == EINTR) continue;
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return true;  // poll tells when
    if (sent <= 0) return false;
    client.out.erase(0, static_cast<size_t>(sent));
    client.last_active = Clock::now();
  }
  return true;
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

// A web page can make a browser send a request here (a form, a fetch without CORS): its body
// must never be taken for a request, so an HTTP request line, or a header line right after a
// line that was not JSON at all, ends the connection there.
bool is_http(Client& client, const std::string& bad_line) {
  const bool follows_bad_line = client.had_bad_line && client.answered_since_bad == 1;
  client.had_bad_line = true;
  client.answered_since_bad = 0;
  return is_http_request_line(bad_line) || (follows_bad_line && is_http_header_line(bad_line));
}

// The number of requests answered.
int answer_values(ConfigTree& config, Client& client) {
  int answered = 0;
  std::string text, syntax_error, bad_line;
  while (!client.closing && client.framer.next(text, syntax_error, &bad_line)) {
    if (!bad_line.empty()) {
      if (is_http(client, bad_line)) {
        client.spoke_http = true;
        client.closing = true;  // what was answered still goes out, then the connection ends
        client.close_by = Clock::now() + kDrainTime;
        return answered;
      }
      continue;
    }
    if (text.size() > kMaxRequestBytes) {
      refuse_too_large(client);
      return answered;
    }
    client.out += to_text(answer_text(config, text, syntax_error, client.last_seen)) + "\n";
    ++client.answered_since_bad;
    ++answered;
  }
  if (!client.closing && client.framer.pending() > kMaxRequestBytes) refuse_too_large(client);
  return answered;
}

// The clock of a request runs from its first byte: each answered one starts the next afresh.
void time_request(Client& client, int answered, Clock::time_point now) {
  if (client.closing || client.peer_done || client.framer.pending() == 0) {
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
  if (got == 0) {
    if (client.closing) return false;
    // Half-closed: what was asked is still answered; a half request left behind is dropped.
    client.peer_done = true;
    client.in_request = false;
    return true;
  }
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

class JsonServer {
public:
  JsonServer(ConfigTree& config, JsonPortLease& port, int wake_fd)
      : config_(config), port_(port), wake_fd_(wake_fd) {
    open_reserve();
  }
  ~JsonServer() {
    for (Client& client : clients_) close(client.fd);
    if (reserve_fd_ >= 0) close(reserve_fd_);
  }
  JsonServer(const JsonServer&) = delete;
  JsonServer& operator=(const JsonServer&) = delete;

  bool run();

private:
  void serve_clients();
  void accept_clients();
  bool accept_without_descriptors(int error);
  void add_client(int fd, const sockaddr_storage& peer);
  void make_room(const char* why);
  void warn_http(const std::string& address);
  // A descriptor kept spare, so that when the process runs out one can still be had to take a
  // new client and close the connection idle longest for it.
  void open_reserve() { reserve_fd_ = open("/dev/null", O_RDONLY | O_CLOEXEC); }

  ConfigTree& config_;
  JsonPortLease& port_;
  const int wake_fd_;
  std::list<Client> clients_;
  std::vector<pollfd> fds_;
  int reserve_fd_ = -1;
  bool out_of_descriptors_ = false;  // the episode has been logged
  Clock::time_point listener_rests_until_{};
  std::map<std::string, Clock::time_point> http_warned_;  // address: when last logged
};

bool JsonServer::run() {
  for (;;) {
    // A process that lost the port to a newer one leaves the listener alone and serves on
    // only the clients it has.
    const auto now = Clock::now();
    const bool resting = now < listener_rests_until_;
    const bool accepting = !resting && port_.accepting();
    fds_.clear();
    fds_.push_back({wake_fd_, POLLIN, 0});
    fds_.push_back({port_.notice_fd(), POLLIN, 0});
    fds_.push_back({accepting ? port_.listen_fd() : -1, POLLIN, 0});
    int timeout = resting ? milliseconds_until(listener_rests_until_, now) : -1;
    for (Client& client : clients_) {
      short events = 0;
      if (!client.peer_done && (client.closing || client.out.size() < kMaxPendingReply))
        events |= POLLIN;
      if (!client.out.empty()) events |= POLLOUT;
      fds_.push_back({client.fd, events, 0});
      if (client.closing || client.in_request) {
        int ms = milliseconds_until(client.closing ? client.close_by : client.request_by, now);
        if (timeout < 0 || ms < timeout) timeout = ms;
      }
    }
    if (poll(fds_.data(), fds_.size(), timeout) < 0) {
      if (errno == EINTR) continue;
      log(kError, std::string("JSON control port: poll failed: ") + std::strerror(errno) +
                      "; closing its " + std::to_string(clients_.size()) + " clients");
      return false;
    }
    if (fds_[0].revents != 0) return true;  // stop requested
    if (fds_[1].revents != 0) port_.clear_notice();
    serve_clients();
    if (fds_[2].revents & POLLIN) accept_clients();
  }
}

void JsonServer::serve_clients() {
  size_t index = 3;
  for (auto it = clients_.begin(); it != clients_.end(); ++index) {
    Client& client = *it;
    const short revents = fds_[index].revents;
    bool alive = true;
    if (client.peer_done && (revents & (POLLHUP | POLLERR)))
      alive = false;  // gone altogether: nobody reads the replies
    else if (revents & (POLLIN | POLLHUP | POLLERR))
      alive = read_from(config_, client);
    if (client.spoke_http) {
      warn_http(client.address);
      client.spoke_http = false;
    }
    if (alive && client.in_request && !client.closing && Clock::now() >= client.request_by)
      finish_with_error(client,
                        "Request incomplete after " + std::to_string(kRequestTime.count()) + " s");
    if (alive && !client.out.empty()) alive = send_pending(client);
    if (alive && client.closing) {
      // Half-close once the error is out, and let the client's leftovers drain, so the
      // error is not lost to a reset.
      if (client.out.empty()) shutdown(client.fd, SHUT_WR);
      if (Clock::now() >= client.close_by) alive = false;
    }
    if (alive && client.peer_done && !client.closing && client.out.empty()) alive = false;
    if (alive) {
      ++it;
    } else {
      close(client.fd);
      it = clients_.erase(it);
    }
  }
}

void JsonServer::accept_clients() {
  for (;;) {
    sockaddr_storage peer{};
    const int fd = port_.accept_client(&peer);
    if (fd >= 0) {
      if (out_of_descriptors_) {
        log(kInfo, "JSON control port: descriptors to be had again");
        out_of_descriptors_ = false;
      }
      add_client(fd, peer);
      if (reserve_fd_ < 0) open_reserve();
      continue;
    }
    const int error = errno;
    if (error == EINTR || error == ECONNABORTED) continue;
    if (error == EAGAIN || error == EWOULDBLOCK) return;  // none waits, or not ours to take
    if (error == EMFILE || error == ENFILE) {
      if (accept_without_descriptors(error)) continue;
    } else {
      log(kError, std::string("JSON control port: accept failed: ") + std::strerror(error));
    }
    listener_rests_until_ = Clock::now() + kAcceptRest;
    return;
  }
}

// The process has no descriptor left: the spare one takes the client, and the connection idle
// longest makes room for it, as when the table is full. True when a client was taken, false
// when the listener must rest.
bool JsonServer::accept_without_descriptors(int error) {
  if (!out_of_descriptors_) {
    out_of_descriptors_ = true;
    log(kWarn, std::string("JSON control port: out of descriptors (") + std::strerror(error) +
                   "): each new client closes the connection idle longest");
  }
  if (reserve_fd_ < 0) {  // lost to another part of the process: win it back from a client
    if (clients_.empty()) return false;
    make_room("the process is out of descriptors");
    open_reserve();
    if (reserve_fd_ < 0) return false;
  }
  close(reserve_fd_);
  reserve_fd_ = -1;
  sockaddr_storage peer{};
  const int fd = port_.accept_client(&peer);
  if (fd >= 0) {
    if (clients_.empty()) {
      close(fd);  // nothing to give way: turned away rather than left waiting
    } else {
      if (clients_.size() < kMaxClients) make_room("the process is out of descriptors");
      add_client(fd, peer);
    }
  }
  open_reserve();
  return fd >= 0;
}

void JsonServer::add_client(int fd, const sockaddr_storage& peer) {
  if (clients_.size() >= kMaxClients) make_room((std::to_string(kMaxClients) + " clients").c_str());
  clients_.emplace_back();
  clients_.back().fd = fd;
  clients_.back().address = address_text(peer);
  clients_.back().last_active = Clock::now();
}

void JsonServer::make_room(const char* why) {
  auto victim = clients_.begin();
  for (auto it = clients_.begin(); it != clients_.end(); ++it)
    if (sooner_closed(*it, *victim)) victim = it;
  log(kVerb,
      std::string("JSON control port: ") + why + ", closed the one idle longest for a new one");
  close(victim->fd);
  clients_.erase(victim);
}

void JsonServer::warn_http(const std::string& address) {
  const auto now = Clock::now();
  for (auto it = http_warned_.begin(); it != http_warned_.end();)
    it = now - it->second >= kHttpWarningEvery ? http_warned_.erase(it) : std::next(it);
  if (!http_warned_.emplace(address, now).second) return;
  log(kWarn, "JSON control port: closed a connection from " + address +
                 " that sent an HTTP request (a web page or an HTTP client?); the port takes "
                 "JSON requests only");
}

}  // namespace

bool serve_json_port(ConfigTree& config, JsonPortLease& port, int wake_fd) {
  JsonServer server(config, port, wake_fd);
  return server.run();
}

}  // namespace engine
