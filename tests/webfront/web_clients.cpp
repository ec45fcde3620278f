// The clients an operator uses: curl against the web front-end.
#include "web_clients.h"

#include <chrono>
#include <cstdlib>

#include "process.h"

nlohmann::json HttpReply::json() const {
  return nlohmann::json::parse(body, nullptr, /*allow_exceptions=*/false);
}

Curl::Curl(std::string base, std::vector<std::string> extra)
    : base_(std::move(base)), extra_(std::move(extra)), dir_("palvex-curl") {}

HttpReply Curl::request(std::vector<std::string> args, const std::string& path) {
  std::vector<std::string> argv{"/usr/bin/curl",
                                "-sS",
                                "--max-time",
                                "10",
                                "-c",
                                dir_.file("cookies"),
                                "-b",
                                dir_.file("cookies"),
                                "-o",
                                dir_.file("body"),
                                "-D",
                                dir_.file("headers"),
                                "-w",
                                "%{http_code}"};
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
