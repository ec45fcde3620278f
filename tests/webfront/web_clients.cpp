// The clients an operator uses: curl against the web front-end, a TCP client on the JSON port.
#include "web_clients.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>

#include "process.h"

nlohmann::json HttpReply::json() const {
  return nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
}

Curl::Curl(std::string base, std::vector<std::string> extra)
    : base_(std::move(base)), extra_(std::move(extra)), dir_("palvex-curl") {}

HttpReply Curl::request(std::vector<std::string> args, const std::string& path) {
  std::vector<std::string> argv{"/usr/bin/curl", "-sS", "--max-time", "10",
                                "-c", dir_.file("cookies"), "-b", dir_.file("cookies"),
                                "-o", dir_.file("body"), "-D", dir_.file("headers"),
                                "-w", "%{http_code}"};
  argv.insert(argv.end(), extra_.begin(), extra_.end());
  argv.insert(argv.end(), args.begin(), args.end());
  argv.push_back(base_ + path);
  write_file(dir_.file("body"), "");
  write_file(dir_.file("headers"), "");
  const ProcessResult result = run_process(argv, {}, std::chrono::seconds(15));
  HttpReply reply;
  reply.status = std::atoi(result.out.c_str());
  reply.body = read_file(dir_.file("body"));
  reply.headers = read_file(dir_.file("headers"));
  return reply;
}

HttpReply Curl::get(const std::string& path) { return request({}, path); }

HttpReply Curl::post(const std::string& path, const std::string& body) {
  return request({"-X", "POST", "-H", "Content-Type: application/json", "--data-binary", body},
                 path);
}

HttpReply Curl::login(const std::string& user, const std::string& secret) {
  return post("/api/login", nlohmann::json{{"user", user}, {"secret", secret}}.dump());
}

nlohmann::json json_port_request(int port, const nlohmann::json& request) {
  const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
  if (fd < 0) return nullptr;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  std::string reply;
  if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0) {
    const std::string line = request.dump() + "\n";
    if (::send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size())) {
      const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
      while (reply.find('\n') == std::string::npos &&
             std::chrono::steady_clock::now() < deadline) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 100) <= 0) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        reply.append(buffer, static_cast<size_t>(n));
      }
    }
  }
  ::close(fd);
  return nlohmann::json::parse(reply.substr(0, reply.find('\n')), nullptr, false);
}

double host_gain(int port) {
  const nlohmann::json tree = json_port_request(port, {{"get", nullptr}});
  if (!tree.is_object() || !tree.contains("in") || !tree["in"].contains("gain")) return -1000.0;
  return tree["in"]["gain"].get<double>();
}
