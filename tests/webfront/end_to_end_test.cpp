// palvex-webfront with the stand-in engine, serving the web interface of a running palvex-jack.
#include <gtest/gtest.h>

#include <thread>

#include "audio_host.h"
#include "process.h"
#include "web_clients.h"

namespace {

constexpr const char* user = "operator";
constexpr const char* secret = "s3cret-42";

EnvChanges login_env() { return {{"SETUP_USER", user}, {"SETUP_SECRET", secret}}; }

// The API's configuration once it answers 200, or the last answer when the time runs out: the
// front-end reconnects to the host on its own time.
HttpReply config_when_reachable(Curl& curl, std::chrono::seconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  HttpReply reply = curl.get("/api/config");
  while (reply.status != 200 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    reply = curl.get("/api/config");
  }
  return reply;
}

// jackd, palvex-jack on it and palvex-webfront on HTTP, all stopped at the end of the test.
class WebfrontEndToEnd : public testing::Test {
protected:
  void SetUp() override {
    ASSERT_TRUE(jackd_.ready()) << "the private jackd did not start";
    host_ = start_audio_host(jackd_, state_.path().string());
    ASSERT_TRUE(host_->wait_for_json_port()) << host_->diagnostics();
    front_ = std::make_unique<RealWebfront>(host_->json_port(), login_env());
    ASSERT_TRUE(front_->start_http()) << front_->child().stderr_text();
    curl_ = std::make_unique<Curl>("http://127.0.0.1:" + std::to_string(front_->web_port()));
  }

  void TearDown() override {
    if (front_) {
      const bool ended = front_->stop();
      EXPECT_TRUE(ended) << "the front-end did not stop on SIGTERM";
      if (ended) {
        EXPECT_EQ(front_->child().result().status, 0) << "a clean stop is success";
      }
    }
  }

  JackServer jackd_;
  TempDir state_{"palvex-state"};
  std::unique_ptr<HostRun> host_;
  std::unique_ptr<RealWebfront> front_;
  std::unique_ptr<Curl> curl_;
};

TEST_F(WebfrontEndToEnd, serves_the_login_page) {
  const HttpReply page = curl_->get("/");
  EXPECT_EQ(page.status, 200);
  for (const char* id : {"id=\"user\"", "id=\"secret\"", "id=\"login\""})
    EXPECT_NE(page.body.find(id), std::string::npos) << id << " missing from\n" << page.body;
}

struct LoginCase {
  const char* name;
  const char* user;
  const char* secret;
};

std::ostream& operator<<(std::ostream& out, const LoginCase& c) { return out << c.name; }

class WebfrontRefusedLogin : public WebfrontEndToEnd,
                             public testing::WithParamInterface<LoginCase> {};

// Refused without saying which half was wrong, and without a session to use afterwards.
TEST_P(WebfrontRefusedLogin, is_refused_and_opens_nothing) {
  const HttpReply login = curl_->login(GetParam().user, GetParam().secret);
  EXPECT_EQ(login.status, 401);
  EXPECT_EQ(login.json(), (nlohmann::json{{"error", "Login refused"}})) << login.body;
  EXPECT_EQ(curl_->get("/api/config").status, 401);
  EXPECT_EQ(curl_->post("/api/set", R"({"in":{"gain":-6}})").status, 401);
  EXPECT_EQ(host_gain(host_->json_port()), 0.0) << "a refused client changed the host";
}

INSTANTIATE_TEST_SUITE_P(Credentials, WebfrontRefusedLogin,
                         testing::Values(LoginCase{"wrong_secret", user, "guess"},
                                         LoginCase{"wrong_user", "admin", secret},
                                         LoginCase{"empty", "", ""},
                                         LoginCase{"secret_prefix", user, "s3cret"}),
                         [](const testing::TestParamInfo<LoginCase>& info) {
                           return std::string(info.param.name);
                         });

TEST_F(WebfrontEndToEnd, reads_the_hosts_configuration_and_sets_its_gain) {
  const HttpReply login = curl_->login(user, secret);
  ASSERT_EQ(login.status, 200) << login.body;
  EXPECT_EQ(login.json(), (nlohmann::json{{"ok", true}}));
  EXPECT_NE(login.headers.find("palvex_session="), std::string::npos) << login.headers;

  const HttpReply config = curl_->get("/api/config");
  ASSERT_EQ(config.status, 200) << config.body;
  const nlohmann::json tree = JsonClient(host_->json_port()).request(R"({"get":null})");
  ASSERT_TRUE(tree.is_object()) << "the host's JSON port did not answer";
  EXPECT_EQ(config.json()["in"], tree["in"]) << config.body;

  const HttpReply set = curl_->post("/api/set", R"({"in":{"gain":-12.5}})");
  EXPECT_EQ(set.status, 200) << set.body;
  EXPECT_EQ(host_gain(host_->json_port()), -12.5) << "the gain did not reach the host";

  // And the other way: a change made at the host shows in the web API.
  JsonClient(host_->json_port()).request(R"({"set":{"in":{"gain":3}}})");
  EXPECT_EQ(curl_->get("/api/config").json()["in"]["gain"], 3) << "stale configuration";
}

TEST_F(WebfrontEndToEnd, a_bad_value_leaves_the_host_as_it_was) {
  ASSERT_EQ(curl_->login(user, secret).status, 200);
  ASSERT_EQ(curl_->post("/api/set", R"({"in":{"gain":-20}})").status, 200);
  for (const char* body : {R"({"in":{"gain":"loud"}})", R"({"in":{"gain":500}})", "{not json"}) {
    const HttpReply set = curl_->post("/api/set", body);
    EXPECT_NE(set.status, 200) << body;
    EXPECT_TRUE(set.json().is_object() && set.json().contains("error")) << set.body;
  }
  EXPECT_EQ(host_gain(host_->json_port()), -20.0);
}

// The front-end outlives the host: unreachable while it is gone, working again once it is back.
TEST_F(WebfrontEndToEnd, survives_a_restart_of_the_host) {
  ASSERT_EQ(curl_->login(user, secret).status, 200);
  ASSERT_EQ(curl_->get("/api/config").status, 200);
  const int port = host_->json_port();

  ASSERT_TRUE(host_->stop()) << host_->diagnostics();
  const HttpReply gone = curl_->get("/api/config");
  EXPECT_EQ(gone.status, 502) << gone.body;
  EXPECT_EQ(
      gone.json(),
      (nlohmann::json{{"error", "Audio host unreachable at 127.0.0.1:" + std::to_string(port)}}))
      << gone.body;
  EXPECT_EQ(curl_->post("/api/set", R"({"in":{"gain":-3}})").status, 502);

  host_ = start_audio_host(jackd_, state_.path().string(), port);
  ASSERT_TRUE(host_->wait_for_json_port()) << host_->diagnostics();
  const HttpReply back = config_when_reachable(*curl_, std::chrono::seconds(15));
  ASSERT_EQ(back.status, 200) << back.body;
  EXPECT_EQ(curl_->post("/api/set", R"({"in":{"gain":-7}})").status, 200);
  EXPECT_EQ(host_gain(port), -7.0);
}

// Boards boot in any order: a front-end that starts first finds the host once it is there.
TEST(WebfrontStartOrder, a_host_that_starts_later_is_found) {
  JackServer jackd;
  ASSERT_TRUE(jackd.ready());
  TempDir state("palvex-state");
  const int port = free_tcp_port();
  RealWebfront front(port, login_env());
  ASSERT_TRUE(front.start_http()) << front.child().stderr_text();
  Curl curl("http://127.0.0.1:" + std::to_string(front.web_port()));
  ASSERT_EQ(curl.login(user, secret).status, 200);
  EXPECT_EQ(curl.get("/api/config").status, 502);

  const std::unique_ptr<HostRun> host = start_audio_host(jackd, state.path().string(), port);
  ASSERT_TRUE(host->wait_for_json_port()) << host->diagnostics();
  const HttpReply config = config_when_reachable(curl, std::chrono::seconds(15));
  EXPECT_EQ(config.status, 200) << config.body;
  EXPECT_EQ(config.json()["in"]["gain"], 0);
  EXPECT_TRUE(front.stop());
}

TEST(WebfrontLogin, is_disabled_without_a_user) {
  JackServer jackd;
  ASSERT_TRUE(jackd.ready());
  TempDir state("palvex-state");
  const std::unique_ptr<HostRun> host = start_audio_host(jackd, state.path().string());
  ASSERT_TRUE(host->wait_for_json_port()) << host->diagnostics();
  RealWebfront front(host->json_port(), {{"SETUP_SECRET", secret}});
  ASSERT_TRUE(front.start_http()) << front.child().stderr_text();
  Curl curl("http://127.0.0.1:" + std::to_string(front.web_port()));

  const HttpReply page = curl.get("/");
  EXPECT_NE(page.body.find("Login is disabled: define SETUP_USER or ADMIN_USER"), std::string::npos)
      << page.body;
  EXPECT_EQ(curl.login(user, secret).status, 403);
  const int config = curl.get("/api/config").status;
  EXPECT_TRUE(config == 401 || config == 403) << "the API answered " << config;
  EXPECT_TRUE(front.stop());
}

TEST(WebfrontHttps, serves_the_interface_with_its_certificate) {
  TempDir tls("palvex-tls");
  const ProcessResult made =
      run_process({"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days",
                   "1", "-subj", "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1",
                   "-keyout", tls.file("key.pem"), "-out", tls.file("cert.pem")});
  ASSERT_EQ(made.status, 0) << made.err;

  JackServer jackd;
  ASSERT_TRUE(jackd.ready());
  TempDir state("palvex-state");
  const std::unique_ptr<HostRun> host = start_audio_host(jackd, state.path().string());
  ASSERT_TRUE(host->wait_for_json_port()) << host->diagnostics();
  EnvChanges env = login_env();
  env["SSL_CERTIFICATE_PATH"] = tls.file("cert.pem");
  env["SSL_PRIVATE_PATH"] = tls.file("key.pem");
  RealWebfront front(host->json_port(), env);
  ASSERT_TRUE(front.start_https()) << front.child().stderr_text();

  // --cacert: the page must come with exactly this certificate, not just any.
  Curl curl("https://127.0.0.1:" + std::to_string(front.web_port()),
            {"--cacert", tls.file("cert.pem")});
  EXPECT_EQ(curl.get("/").status, 200);
  ASSERT_EQ(curl.login(user, secret).status, 200);
  EXPECT_EQ(curl.post("/api/set", R"({"in":{"gain":-9}})").status, 200);
  EXPECT_EQ(host_gain(host->json_port()), -9.0);
  EXPECT_EQ(Curl("http://127.0.0.1:" + std::to_string(front.web_port())).get("/").status, 0)
      << "plain HTTP answered on the HTTPS port";
  EXPECT_TRUE(front.stop());
  EXPECT_EQ(front.child().result().status, 0);
}

}  // namespace
