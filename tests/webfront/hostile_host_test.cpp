// palvex-webfront against whoever answers at the audio host's address: replies and bodies
// built to break it must earn an error, never end the program.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <future>
#include <memory>
#include <thread>
#include <vector>

#include "audio_host.h"
#include "process.h"
#include "scripted_host.h"
#include "web_clients.h"

namespace {

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

// A host that sends a line no request asked for: each request still gets its own reply.
TEST_F(WebfrontAgainstAHostileHost,
       every_request_gets_its_own_reply_when_the_host_sends_a_line_too_many) {
  const std::string stale = R"({"in":{"gain":-99}})";
  struct Case {
    const char* name;
    std::string reply, late;
  };
  const Case cases[] = {
      {"in the same write", good_tree + "\n" + stale + "\n", ""},
      {"a moment after the reply", good_tree + "\n", stale + "\n"},
  };
  for (const Case& c : cases) {
    host_.answer_with(c.reply);
    host_.then_send(c.late);
    for (int request = 1; request <= 3; ++request) {
      const int late_before = host_.late_ones_sent();
      const HttpReply reply = curl_->get("/api/config");
      EXPECT_EQ(reply.status, 200) << c.name << ", request " << request << ": " << reply.body;
      EXPECT_EQ(reply.json(), nlohmann::json::parse(good_tree))
          << c.name << ", request " << request << ": " << reply.body;
      if (!c.late.empty()) {
        for (int i = 0; i < 200 && host_.late_ones_sent() == late_before; ++i)
          std::this_thread::sleep_for(std::chrono::milliseconds(5));
        // Sent is not yet arrived: give the line time to reach the front-end's socket.
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
      }
    }
  }
}

// A GET that runs in a thread of its own, with its own logged-in curl.
class GetInFlight {
public:
  GetInFlight(int web_port, const std::string& path) {
    done_ = std::async(std::launch::async, [web_port, path] {
      Curl curl("http://127.0.0.1:" + std::to_string(web_port));
      curl.login(user, secret);
      return curl.get(path);
    });
  }
  bool finished() const {
    return done_.wait_for(std::chrono::seconds(0)) == std::future_status::ready;
  }
  HttpReply reply() { return done_.get(); }

private:
  std::future<HttpReply> done_;
};

TEST_F(WebfrontAgainstAHostileHost, a_request_the_host_never_answers_holds_up_no_other_client) {
  host_.answer_with("");  // reads, never answers
  const int before = host_.requests();
  GetInFlight stuck(front_->web_port(), "/api/config");
  ASSERT_TRUE(host_.wait_for_requests(before + 1));
  host_.answer_with(good_tree + "\n");
  // Another client's page and call are answered while the first still waits the 2 s its host
  // is given; queued behind it, the call would take most of them.
  const auto asked = std::chrono::steady_clock::now();
  const HttpReply page = curl_->get("/");
  EXPECT_EQ(page.status, 200);
  const HttpReply config = curl_->get("/api/config");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - asked);
  EXPECT_EQ(config.status, 200) << config.body;
  EXPECT_EQ(config.json(), nlohmann::json::parse(good_tree)) << config.body;
  EXPECT_LT(took.count(), 1000) << "the call queued behind the one the host never answers";
  const HttpReply given_up = stuck.reply();
  EXPECT_EQ(given_up.status, 502) << given_up.body;
  // The connection given up on is not reused with its late reply pending.
  EXPECT_EQ(curl_->get("/api/config").json(), nlohmann::json::parse(good_tree));
}

TEST_F(WebfrontAgainstAHostileHost, a_stop_ends_calls_waiting_for_a_silent_host_at_once) {
  host_.answer_with("");
  const int before = host_.requests();
  std::vector<std::unique_ptr<GetInFlight>> stuck;
  for (int i = 0; i < 3; ++i)
    stuck.push_back(std::make_unique<GetInFlight>(front_->web_port(), "/api/config"));
  ASSERT_TRUE(host_.wait_for_requests(before + 1));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the others on their way too
  const auto signalled = std::chrono::steady_clock::now();
  front_->child().send_signal(SIGTERM);
  // The program notices the signal within a second; the stop itself waits for no host.
  ASSERT_TRUE(front_->child().wait_for_exit(std::chrono::seconds(5)));
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
      std::chrono::steady_clock::now() - signalled);
  EXPECT_LT(took.count(), 2500);
  EXPECT_TRUE(front_->child().result().exited);
  EXPECT_EQ(front_->child().result().status, 0) << front_->child().stderr_text();
  for (auto& call : stuck) call->reply();
}

}  // namespace
