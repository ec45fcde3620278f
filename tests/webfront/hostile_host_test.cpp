// palvex-webfront against whoever answers at the audio host's address: replies and bodies
// built to break it must earn an error, never end the program.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>

#include "audio_host.h"
#include "process.h"
#include "web_clients.h"

namespace {

// A JSON port on 127.0.0.1 that answers each request line with the reply it is given.
class ScriptedHost {
public:
  ScriptedHost() {
    listen_fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        listen(listen_fd_, 8) != 0 ||
        getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("the scripted host cannot listen");
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this] { serve(); });
  }
  ~ScriptedHost() {
    stop_ = true;
    thread_.join();
    close(listen_fd_);
  }
  int port() const { return port_; }
  void answer_with(std::string reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    reply_ = std::move(reply);
  }
  int requests() const { return requests_; }

private:
  bool wait(int fd) {
    while (!stop_) {
      pollfd ready{fd, POLLIN, 0};
      if (poll(&ready, 1, 50) > 0) return true;
    }
    return false;
  }
  void serve() {
    while (wait(listen_fd_)) {
      const int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd < 0) continue;
      std::string received;
      char chunk[4096];
      ssize_t got;
      while (wait(fd) && (got = recv(fd, chunk, sizeof chunk, 0)) > 0) {
        received.append(chunk, static_cast<size_t>(got));
        for (size_t end; (end = received.find('\n')) != std::string::npos;) {
          received.erase(0, end + 1);
          ++requests_;
          std::string reply;
          {
            std::lock_guard<std::mutex> lock(mutex_);
            reply = reply_;
          }
          for (size_t done = 0; done < reply.size();) {
            const ssize_t sent = send(fd, reply.data() + done, reply.size() - done, MSG_NOSIGNAL);
            if (sent <= 0) break;
            done += static_cast<size_t>(sent);
          }
        }
      }
      close(fd);
    }
  }

  int listen_fd_ = -1, port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<int> requests_{0};
  std::mutex mutex_;
  std::string reply_;
  std::thread thread_;
};

constexpr const char* user = "operator";
constexpr const char* secret = "s3cret-42";
const std::string good_tree = R"({"in":{"gain":-6},"metadata":{},"meters":{"out_peak":[0.0,0.0]},)"
                              R"("parameters":{}})";

std::string nested(size_t depth, const std::string& inner = "") {
  return std::string(depth, '[') + inner + std::string(depth, ']');
}

class WebfrontAgainstAHostileHost : public testing::Test {
protected:
  void SetUp() override {
    front_ = std::make_unique<RealWebfront>(
        host_.port(), EnvChanges{{"SETUP_USER", user}, {"SETUP_SECRET", secret}});
    ASSERT_TRUE(front_->start_http()) << front_->child().stderr_text();
    curl_ = std::make_unique<Curl>("http://127.0.0.1:" + std::to_string(front_->web_port()));
    ASSERT_EQ(curl_->login(user, secret).status, 200);
  }
  void TearDown() override {
    if (front_ && front_->child().running()) {
      EXPECT_TRUE(front_->stop());
    }
  }

  ScriptedHost host_;
  std::unique_ptr<RealWebfront> front_;
  std::unique_ptr<Curl> curl_;
};

TEST_F(WebfrontAgainstAHostileHost, a_reply_that_is_not_a_shallow_json_object_is_a_502) {
  struct Case {
    const char* name;
    std::string reply;
    const char* error_part;
  };
  const Case cases[] = {
      // 800 KB, under the reply limit: deep enough to overflow any recursion over it.
      {"nested 400,000 deep", "{\"in\":" + nested(400000) + "}\n", "nested deeper than 64 levels"},
      {"nested one level too deep", "{\"in\":" + nested(64) + "}\n",
       "nested deeper than 64 levels"},
      {"not JSON", "{in:1}\n", "expected a key or '}'"},
      {"not an object", "[1,2]\n", "not a JSON object"},
  };
  for (const Case& c : cases) {
    host_.answer_with(c.reply);
    const HttpReply reply = curl_->get("/api/config");
    EXPECT_EQ(reply.status, 502) << c.name;
    const std::string error = reply.json().value("error", "");
    EXPECT_NE(error.find("Audio host at 127.0.0.1:" + std::to_string(host_.port()) +
                         " answered something that is not a JSON object"),
              std::string::npos)
        << c.name << ": " << reply.body;
    EXPECT_NE(error.find(c.error_part), std::string::npos) << c.name << ": " << reply.body;
    ASSERT_TRUE(front_->child().running()) << c.name << "\n" << front_->child().stderr_text();
  }
  // A sound reply is served again, deep nesting within the limit included.
  host_.answer_with(good_tree + "\n");
  EXPECT_EQ(curl_->get("/api/config").json(), nlohmann::json::parse(good_tree));
  const std::string deep_but_allowed = R"({"in":{"gain":-6},"x":)" + nested(60) + "}";
  host_.answer_with(deep_but_allowed + "\n");
  EXPECT_EQ(curl_->get("/api/config").json(), nlohmann::json::parse(deep_but_allowed));
}

TEST_F(WebfrontAgainstAHostileHost, a_body_nested_too_deep_is_refused_before_the_host_sees_it) {
  host_.answer_with("{}\n");
  const int before = host_.requests();
  // Just under the 64 KiB body limit.
  const HttpReply reply = curl_->post("/api/set", "{\"in\":" + nested(32000) + "}");
  EXPECT_EQ(reply.status, 400) << reply.body;
  EXPECT_NE(reply.json().value("error", "").find("nested deeper than 64 levels"), std::string::npos)
      << reply.body;
  ASSERT_TRUE(front_->child().running()) << front_->child().stderr_text();
  EXPECT_EQ(host_.requests(), before);
  EXPECT_EQ(curl_->post("/api/set", R"({"in":{"gain":-6}})").status, 200);
}

}  // namespace
