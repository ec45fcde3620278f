// A logged-in client of the engine's web API that reads the configuration over and over.
#include "web_poll.h"

#include <httplib.h>

#include <nlohmann/json.hpp>

WebPoll::WebPoll(int port, const std::string& user, const std::string& secret,
                 std::chrono::milliseconds every, std::chrono::steady_clock::time_point deadline)
    : port_(port),
      user_(user),
      secret_(secret),
      every_(every),
      deadline_(deadline),
      thread_([this] { run(); }) {}

WebPoll::~WebPoll() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
}

WebPollFigures WebPoll::finish() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  return figures_;
}

void WebPoll::run() {
  httplib::Client client("127.0.0.1", port_);
  client.set_connection_timeout(5);
  client.set_read_timeout(5);
  client.set_keep_alive(true);
  const nlohmann::json credentials = {{"user", user_}, {"secret", secret_}};
  auto login = client.Post("/api/login", credentials.dump(), "application/json");
  if (!login || login->status != 200) {
    figures_.first_wrong =
        login ? "login: " + std::to_string(login->status) + " " + login->body : "login: no answer";
    return;
  }
  const std::string set_cookie = login->get_header_value("Set-Cookie");
  const httplib::Headers headers = {{"Cookie", set_cookie.substr(0, set_cookie.find(';'))}};
  figures_.logged_in = true;
  while (!stop_.load() && std::chrono::steady_clock::now() < deadline_) {
    auto reply = client.Get("/api/config", headers);
    const nlohmann::json body =
        reply ? nlohmann::json::parse(reply->body, nullptr, false) : nlohmann::json();
    if (reply && reply->status == 200 && body.is_object() && body.contains("in")) {
      ++figures_.polls;
    } else {
      ++figures_.wrong_replies;
      if (figures_.first_wrong.empty())
        figures_.first_wrong =
            reply ? std::to_string(reply->status) + " " + reply->body : "no answer";
    }
    std::this_thread::sleep_for(every_);
  }
}
