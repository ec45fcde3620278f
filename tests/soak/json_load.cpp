// Clients of the engine's JSON control port: good and bad requests, every reply checked.
#include "json_load.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

namespace {

using nlohmann::json;

struct Request {
  std::string text;
  enum Expect { object_with_in, any_object, gain_set, error } expect;
};

// Refused requests of every kind the port knows: bad JSON, unknown verb, wrong type, range.
const Request bad_requests[] = {
    {"{\"get\":nul}", Request::error},
    {"{\"nope\":null}", Request::error},
    {"[1,2,3]", Request::error},
    {"{\"set\":{\"in\":{\"gain\":\"loud\"}}}", Request::error},
    {"{\"set\":{\"in\":{\"gain\":500}}}", Request::error},
    {"{\"set\":{\"out\":{\"gain\":0}}}", Request::error},
    {"{\"get\":1}", Request::error},
};

class Connection {
public:
  explicit Connection(int port) : fd_(connect_loopback(port, std::chrono::seconds(5))) {}
  ~Connection() {
    if (fd_ >= 0) close(fd_);
  }
  bool ok() const { return fd_ >= 0; }
  bool send_text(const std::string& text) {
    size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = send(fd_, text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) return false;
      sent += static_cast<size_t>(n);
    }
    return true;
  }
  // One reply line, without its newline; false on time-out or a closed connection.
  bool read_line(std::string& line) {
    for (;;) {
      const size_t end = buffer_.find('\n');
      if (end != std::string::npos) {
        line = buffer_.substr(0, end);
        buffer_.erase(0, end + 1);
        return true;
      }
      char chunk[4096];
      const ssize_t n = recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<size_t>(n));
    }
  }

private:
  int fd_;
  std::string buffer_;
};

bool reply_fits(const json& reply, Request::Expect expect) {
  if (!reply.is_object()) return false;
  const bool is_error = reply.contains("error");
  switch (expect) {
    case Request::object_with_in: return !is_error && reply.contains("in");
    case Request::any_object: return !is_error;
    case Request::gain_set: return !is_error;  // what changed: empty when the gain was already so
    case Request::error: return is_error && reply["error"].is_string();
  }
  return false;
}

}  // namespace

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

JsonLoad::JsonLoad(int port, int clients, std::chrono::steady_clock::time_point deadline,
                   uint64_t max_requests, std::vector<double> gains_db)
    : port_(port), deadline_(deadline), max_requests_(max_requests), gains_db_(std::move(gains_db)),
      figures_(static_cast<size_t>(clients)) {
  for (int i = 0; i < clients; ++i)
    threads_.emplace_back([this, i] { run_client(i, figures_[static_cast<size_t>(i)]); });
}

JsonLoad::~JsonLoad() {
  stop_.store(true);
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
}

JsonLoadFigures JsonLoad::finish() {
  stop_.store(true);
  for (std::thread& thread : threads_)
    if (thread.joinable()) thread.join();
  JsonLoadFigures total;
  for (const JsonLoadFigures& f : figures_) {
    total.requests += f.requests;
    total.sets += f.sets;
    total.bad_requests += f.bad_requests;
    total.half_requests += f.half_requests;
    total.wrong_replies += f.wrong_replies;
    total.failures += f.failures;
    if (total.first_wrong.empty()) total.first_wrong = f.first_wrong;
  }
  return total;
}

void JsonLoad::run_client(int index, JsonLoadFigures& figures) {
  uint64_t step = static_cast<uint64_t>(index);  // clients start at different requests
  while (!stop_.load() && std::chrono::steady_clock::now() < deadline_ &&
         figures.requests < max_requests_) {
    Connection connection(port_);
    if (!connection.ok()) {
      ++figures.failures;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      continue;
    }
    // A few hundred requests per connection, then a half request and a new connection.
    for (int n = 0; n < 400 && !stop_.load() && std::chrono::steady_clock::now() < deadline_ &&
                    figures.requests < max_requests_;
         ++n, ++step) {
      Request request;
      switch (step % 6) {
        case 0: request = {"{\"get\":null}", Request::object_with_in}; break;
        case 1: request = {"{\"change\":null}", Request::any_object}; break;
        case 2: {
          const double gain = gains_db_[(step / 6) % gains_db_.size()];
          request = {"{\"set\":{\"in\":{\"gain\":" + json(gain).dump() + "}}}", Request::gain_set};
          break;
        }
        case 3: request = {"{\"get\":null}{\"change\":null}", Request::object_with_in}; break;
        default: request = bad_requests[step % (sizeof bad_requests / sizeof bad_requests[0])];
      }
      std::string line;
      if (!connection.send_text(request.text + "\n") || !connection.read_line(line)) {
        ++figures.failures;
        break;
      }
      if (step % 6 == 3) {  // two values in one send: two replies
        std::string second;
        if (!connection.read_line(second)) {
          ++figures.failures;
          break;
        }
        if (!json::parse(second, nullptr, false).is_object()) {
          ++figures.wrong_replies;
          if (figures.first_wrong.empty()) figures.first_wrong = second;
        }
      }
      ++figures.requests;
      const json reply = json::parse(line, nullptr, false);
      if (!reply_fits(reply, request.expect)) {
        ++figures.wrong_replies;
        if (figures.first_wrong.empty()) figures.first_wrong = request.text + " -> " + line;
      } else if (request.expect == Request::error) {
        ++figures.bad_requests;
      } else if (request.expect == Request::gain_set) {
        ++figures.sets;
      }
    }
    if (connection.ok() && connection.send_text("{\"set\":{\"in\":{\"ga")) ++figures.half_requests;
  }
}
