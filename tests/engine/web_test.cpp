// The web server over real HTTP and HTTPS: page, login, API, listeners, stop, tcp2.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <map>

#include "engine_fixture.h"
#include "process.h"
#include "temp_dir.h"
#include "web_clients.h"

using nlohmann::json;

TEST_F(WebLocal, login_disabled_says_so_and_refuses_the_api) {
  LoginEnv env({});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  ASSERT_EQ(web.status(), 1);
  Browser browser(http_port);
  HttpReply page = browser.get("/");
  EXPECT_EQ(page.status, 200);
  EXPECT_NE(page.text.find("Login is disabled: define SETUP_USER or ADMIN_USER"),
            std::string::npos);
  EXPECT_EQ(page.text.find("id=\"secret\""), std::string::npos);
  for (HttpReply reply :
       {browser.post("/api/login", R"({"user":"","secret":""})"), browser.get("/api/config"),
        browser.post("/api/set", R"({"in":{"gain":-6}})")}) {
    EXPECT_EQ(reply.status, 403);
    EXPECT_EQ(reply.body, (json{{"error", "Login is disabled"}}));
  }
}

TEST_F(WebLocal, wrong_credentials_are_refused_without_saying_which_half) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  EngineLogCapture log;
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  HttpReply page = browser.get("/");
  for (const char* id : {"id=\"user\"", "id=\"secret\"", "id=\"login\""})
    EXPECT_NE(page.text.find(id), std::string::npos) << id;
  const std::pair<const char*, const char*> wrong[] = {
      {"operator", "wrong"},   {"intruder", "s3cret"}, {"intruder", "wrong"}, {"", ""},
      {"operator", "s3cret "}, {"Operator", "s3cret"}};
  for (const auto& [user, secret] : wrong) {
    HttpReply reply = browser.login(user, secret);
    EXPECT_EQ(reply.status, 401) << user << "/" << secret;
    EXPECT_EQ(reply.body, (json{{"error", "Login refused"}}));
    EXPECT_TRUE(reply.cookie.empty());
  }
  EXPECT_EQ(log.count("Web login refused from 127.0.0.1"), 6);
  for (const char* body : {"not json", R"({"user":"operator"})", R"({"user":1,"secret":"s3cret"})"})
    EXPECT_EQ(browser.post("/api/login", body).status, 400) << body;
  EXPECT_EQ(browser.get("/api/config").status, 401);
  EXPECT_EQ(browser.get("/api/config").body, (json{{"error", "Not logged in"}}));
  browser.set_cookie("palvex_session=0123456789abcdef");
  EXPECT_EQ(browser.post("/api/set", R"({"in":{"gain":-6}})").status, 401);
}

TEST_F(WebLocal, refused_logins_make_the_address_wait_longer_each_time) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  struct Step {
    const char* secret;
    int status;
    const char* retry_after;  // the header of a 429
    double then_wait_s;
  };
  const Step steps[] = {
      {"wrong", 401, "", 0},
      {"wrong", 401, "", 0},
      {"wrong", 401, "", 0},
      {"wrong", 401, "", 0},
      {"wrong", 401, "", 0},
      {"wrong", 401, "", 0},    // the sixth in a row starts a wait of 1 s
      {"s3cret", 429, "1", 0},  // not even the right secret is checked while it lasts
      {"wrong", 429, "1", 1.1},
      {"wrong", 401, "", 0},  // checked again after the wait; the next wait is longer
      {"s3cret", 429, "2", 2.1},
      {"s3cret", 200, "", 0},  // the right secret works again, and starts afresh
      {"wrong", 401, "", 0},
      {"s3cret", 200, "", 0},
  };
  int index = 0;
  for (const Step& step : steps) {
    httplib::Result result =
        browser.raw().Post("/api/login", json{{"user", "operator"}, {"secret", step.secret}}.dump(),
                           "application/json");
    ASSERT_TRUE(result) << "step " << index;
    EXPECT_EQ(result->status, step.status) << "step " << index;
    EXPECT_EQ(result->get_header_value("Retry-After"), step.retry_after) << "step " << index;
    if (step.status == 429) {
      EXPECT_EQ(json::parse(result->body, nullptr, false),
                (json{{"error", std::string("Too many refused logins, try again in ") +
                                    step.retry_after + " s"}}))
          << "step " << index;
    }
    std::this_thread::sleep_for(std::chrono::duration<double>(step.then_wait_s));
    ++index;
  }
}

TEST_F(WebLocal, a_burst_of_wrong_secrets_is_throttled_per_address_and_summarised_in_the_log) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  EngineLogCapture log;
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  constexpr int kAttempts = 2000;
  std::map<int, int> statuses;
  for (int i = 0; i < kAttempts; ++i)
    ++statuses[browser.login("operator", "guess" + std::to_string(i)).status];
  EXPECT_EQ(statuses[401] + statuses[429], kAttempts);
  // Each wait doubles, so however long the burst takes, only a handful are checked.
  EXPECT_GE(statuses[401], 6);
  EXPECT_LE(statuses[401], 16);
  // Once the wait is over, the next refusal's line counts those refused unchecked.
  httplib::Result waiting =
      browser.raw().Post("/api/login", R"({"user":"operator","secret":"x"})", "application/json");
  ASSERT_TRUE(waiting);
  ASSERT_EQ(waiting->status, 429);
  std::this_thread::sleep_for(
      std::chrono::seconds(std::stoi(waiting->get_header_value("Retry-After"))));
  ASSERT_EQ(browser.login("operator", "wrong").status, 401);
  int lines = 0, unchecked = 0;
  for (const auto& [severity, text] : log.lines()) {
    if (text.find("Web login refused from 127.0.0.1") == std::string::npos) continue;
    ++lines;
    const size_t more = text.find(" more refused unchecked");
    if (more != std::string::npos)
      unchecked += std::stoi(text.substr(text.rfind(' ', more - 1) + 1));
  }
  EXPECT_EQ(lines, statuses[401] + 1);
  EXPECT_EQ(unchecked, statuses[429] + 1);
  // Another address is not held up by this one.
  EXPECT_EQ(login_from("127.0.0.2", http_port, "operator", "s3cret"), 200);
  EXPECT_EQ(browser.login("operator", "s3cret").status, 429);
}

TEST_F(WebLocal, login_gives_a_session_for_the_page_and_the_api) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  HttpReply login = browser.login("operator", "s3cret");
  ASSERT_EQ(login.status, 200);
  EXPECT_EQ(login.body, (json{{"ok", true}}));
  EXPECT_EQ(login.cookie.rfind("palvex_session=", 0), 0u) << login.cookie;
  EXPECT_NE(login.cookie.find("HttpOnly"), std::string::npos);
  EXPECT_NE(login.cookie.find("SameSite=Strict"), std::string::npos);

  HttpReply page = browser.get("/");
  for (const char* id : {"id=\"gain\"", "id=\"status\"", "id=\"gain-input\"", "id=\"set-gain\""})
    EXPECT_NE(page.text.find(id), std::string::npos) << id;
  EXPECT_NE(page.text.find("Set gain"), std::string::npos);
  EXPECT_EQ(page.text.find("src=\"http"), std::string::npos);  // nothing from elsewhere

  HttpReply config = browser.get("/api/config");
  ASSERT_EQ(config.status, 200);
  EXPECT_EQ(config.body["in"]["gain"], 0);
  EXPECT_EQ(config.body["metadata"], (json{{"station", "Radio One"}}));
  EXPECT_TRUE(config.body["meters"]["out_peak"].is_array());

  HttpReply set = browser.post("/api/set", R"({"in":{"gain":-6}})");
  EXPECT_EQ(set.status, 200);
  EXPECT_EQ(set.body, (json{{"in", {{"gain", -6}}}}));
  for (const char* bad : {R"({"in":{"gain":99}})", R"({"out":1})", "{bad", "[]"}) {
    HttpReply reply = browser.post("/api/set", bad);
    EXPECT_EQ(reply.status, 400) << bad;
    EXPECT_TRUE(reply.body.contains("error")) << bad;
  }
  // The web page and the JSON port change one configuration.
  JsonClient client(json_port);
  EXPECT_EQ(client.request(R"({"get":null})")["in"]["gain"], -6);
}

TEST_F(WebLocal, user_and_secret_come_from_setup_first_then_admin) {
  struct Case {
    std::initializer_list<std::pair<const char*, const char*>> env;
    const char* user;
    const char* secret;
  };
  const Case cases[] = {
      {{{"SETUP_USER", "setup"},
        {"ADMIN_USER", "admin"},
        {"SETUP_SECRET", "one"},
        {"ADMIN_SECRET", "two"}},
       "setup",
       "one"},
      {{{"ADMIN_USER", "admin"}, {"ADMIN_SECRET", "two"}}, "admin", "two"},
      {{{"ADMIN_USER", "admin"}, {"SETUP_SECRET", "one"}}, "admin", "one"},
  };
  for (const Case& c : cases) {
    LoginEnv env(c.env);
    Web web(palvex_Webserver(http_port, 0, process->get()));
    Browser browser(http_port);
    EXPECT_EQ(browser.login(c.user, c.secret).status, 200) << c.user;
    EXPECT_EQ(browser.login(c.user, c.secret + std::string("x")).status, 401) << c.user;
    EXPECT_EQ(web.stop(1000), 0);
  }
}

TEST_F(WebLocal, a_user_without_secret_gets_a_generated_one_in_the_log) {
  LoginEnv env({{"ADMIN_USER", "admin"}});
  EngineLogCapture log;
  Web web(palvex_Webserver(http_port, 0, process->get()));
  std::string secret;
  for (const auto& [severity, text] : log.lines()) {
    if (text.find("generated secret") == std::string::npos) continue;
    EXPECT_EQ(severity, 3);
    secret = text.substr(text.rfind(' ') + 1);
  }
  ASSERT_EQ(log.count("generated secret"), 1);
  ASSERT_GE(secret.size(), 16u);
  Browser browser(http_port);
  EXPECT_EQ(browser.login("admin", secret).status, 200);
}

TEST_F(WebLocal, without_a_callback_the_log_goes_to_standard_error) {
  LoginEnv env({{"SETUP_USER", "operator"}});
  TempDir out;
  const std::string path = out.file("stderr");
  std::fflush(stderr);
  const int saved = dup(2);
  FILE* file = std::fopen(path.c_str(), "w");
  dup2(fileno(file), 2);
  palvex_WebserverHandle handle = palvex_Webserver(http_port, 0, process->get());
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::fclose(file);
  Web web(handle);
  const std::string text = read_file(path);
  EXPECT_NE(text.find("palvex: Web login: no SETUP_SECRET or ADMIN_SECRET defined, generated "
                      "secret for user operator: "),
            std::string::npos)
      << text;
  EXPECT_NE(
      text.find("palvex: Web server listening for HTTP on 0.0.0.0:" + std::to_string(http_port)),
      std::string::npos)
      << text;
}

TEST_F(WebLocal, https_serves_with_the_certificate_from_the_environment) {
  Certificate certificate;
  const LoginEnv env = operator_with_certificate(certificate);
  const int https_port = free_tcp_port();
  Web web(palvex_Webserver(http_port, https_port, process->get()));
  EXPECT_EQ(web.status(), 3);
  Browser browser(https_port, true);
  EXPECT_NE(browser.get("/").text.find("id=\"login\""), std::string::npos);
  HttpReply login = browser.login("operator", "s3cret");
  ASSERT_EQ(login.status, 200);
  EXPECT_NE(login.cookie.find("Secure"), std::string::npos);
  EXPECT_EQ(browser.get("/api/config").body["in"]["gain"], 0);
}

TEST_F(WebLocal, slow_clients_do_not_starve_the_others) {
  struct Case {
    const char* what;
    bool https;
    bool trickle;
  };
  const Case cases[] = {
      {"16 HTTP clients sending a header line a second", false, true},
      {"16 HTTPS clients sending nothing", true, false},
  };
  Certificate certificate;
  const LoginEnv env = operator_with_certificate(certificate);
  const int https_port = free_tcp_port();
  Web web(palvex_Webserver(http_port, https_port, process->get()));
  ASSERT_EQ(web.status(), 3);
  for (const Case& c : cases) {
    const int port = c.https ? https_port : http_port;
    SlowClients slow(port, 16, c.trickle);
    ASSERT_EQ(slow.connected(), 16u) << c.what;
    Browser browser(port, c.https);
    // A generous bound on an answer that should come at once: the time-out of a client.
    browser.raw().set_read_timeout(std::chrono::seconds(3));
    HttpReply page = browser.get("/");
    EXPECT_EQ(page.status, 200) << c.what;
    EXPECT_EQ(browser.login("operator", "s3cret").status, 200) << c.what;
  }
}

TEST_F(WebLocal, https_without_usable_certificate_does_not_listen) {
  Certificate certificate;
  TempDir empty;
  write_file(empty.file("garbage.pem"), "not a certificate\n");
  const std::string garbage = empty.file("garbage.pem"), missing = empty.file("missing.pem");
  struct Case {
    const char* cert;
    const char* key;
  };
  const Case cases[] = {{nullptr, nullptr},
                        {certificate.cert.c_str(), nullptr},
                        {missing.c_str(), certificate.key.c_str()},
                        {garbage.c_str(), certificate.key.c_str()},
                        {certificate.cert.c_str(), garbage.c_str()}};
  for (const Case& c : cases) {
    LoginEnv env({});
    if (c.cert) setenv("SSL_CERTIFICATE_PATH", c.cert, 1);
    if (c.key) setenv("SSL_PRIVATE_PATH", c.key, 1);
    EngineLogCapture log;
    const int https_port = free_tcp_port();
    Web web(palvex_Webserver(http_port, https_port, process->get()));
    EXPECT_EQ(web.status(), 1) << (c.cert ? c.cert : "-") << " " << (c.key ? c.key : "-");
    EXPECT_TRUE(
        log.contains("Web server HTTPS port " + std::to_string(https_port) + " cannot listen"));
    EXPECT_EQ(web.stop(1000), 0);
  }
}

TEST_F(WebLocal, status_shows_only_listeners_that_really_listen) {
  LoginEnv env({});
  PortHolder taken;
  EngineLogCapture log;
  {
    Web web(palvex_Webserver(taken.port(), 0, process->get()));
    EXPECT_EQ(web.status(), 0);
    EXPECT_TRUE(log.contains("Web server HTTP port " + std::to_string(taken.port()) +
                             " cannot listen: Address already in use"));
  }
  const struct {
    int http, https, status;
  } cases[] = {{0, 0, 0}, {-1, 0, 0}, {70000, 0, 0}, {65536, 0, 0}, {http_port, 0, 1}};
  for (const auto& c : cases) {
    Web web(palvex_Webserver(c.http, c.https, process->get()));
    EXPECT_NE(web.handle(), PALVEX_NO_WEBSERVER);
    EXPECT_EQ(web.status(), c.status) << c.http;
    EXPECT_EQ(web.stop(1000), 0);
  }
  // A second web server of this program on the port the first one holds takes it over
  // (the takeover test below); only a port held elsewhere, as above, does not listen.
  Web first(palvex_Webserver(http_port, 0, process->get()));
  Web second(palvex_Webserver(http_port, 0, process->get()));
  EXPECT_EQ(first.status(), 1);
  EXPECT_EQ(second.status(), 1);
}

// A process made to replace another (a new chunk size) starts its web server on the same
// ports: it takes them over, and a browser stays logged in through the change.
TEST_F(WebLocal, a_new_process_takes_the_web_ports_over_with_their_sessions) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web old_web(palvex_Webserver(http_port, 0, process->get()));
  ASSERT_EQ(old_web.status(), 1);
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  ASSERT_EQ(browser.post("/api/set", R"({"in":{"gain":-20}})").status, 200);

  ProcessOptions options;
  options.storage_dir = dir.path();
  options.json_port = free_tcp_port();
  options.metadata = {{"station", "Radio Two"}};
  options.chunk = 256;
  auto new_process = std::make_unique<RunningProcess>(options);
  ASSERT_EQ(new_process->ready(), 0);
  Web new_web(palvex_Webserver(http_port, 0, new_process->get()));
  EXPECT_EQ(new_web.status(), 1);
  EXPECT_EQ(old_web.status(), 1);

  auto config_seen = [&](const char* station) {
    HttpReply config = browser.get("/api/config");
    EXPECT_EQ(config.status, 200) << config.text;
    EXPECT_EQ(config.body["metadata"]["station"], station);
    EXPECT_EQ(config.body["in"]["gain"], -20);
  };
  config_seen("Radio Two");
  // The old one goes as the host tears it down: its server first, then the process.
  EXPECT_EQ(old_web.stop(1000), 0);
  process.reset();
  config_seen("Radio Two");
  EXPECT_EQ(new_web.status(), 1);

  // Should a newer one fail and go first, the one before it answers again.
  {
    RunningProcess failed(options);
    Web newer(palvex_Webserver(http_port, 0, failed.get()));
    EXPECT_EQ(newer.status(), 1);
  }
  config_seen("Radio Two");
  HttpReply page = browser.get("/");
  EXPECT_NE(page.text.find("id=\"set-gain\""), std::string::npos);

  // The last one closes the port.
  EXPECT_EQ(new_web.stop(1000), 0);
  EXPECT_FALSE(wait_for_tcp_port(http_port, std::chrono::milliseconds(100)));
}

TEST_F(WebLocal, stop_results) {
  LoginEnv env({});
  palvex_WebserverHandle handle = palvex_Webserver(http_port, 0, process->get());
  ASSERT_EQ(palvex_Webserver_Status(handle), 1);
  Browser browser(http_port);
  EXPECT_EQ(browser.get("/").status, 200);  // a kept-alive connection must not hold the stop
  EXPECT_EQ(palvex_Webserver_Stop(handle, 1000), 0);
  EXPECT_EQ(palvex_Webserver_Status(handle), 0);
  EXPECT_FALSE(wait_for_tcp_port(http_port, std::chrono::milliseconds(100)));
  EXPECT_EQ(palvex_Webserver_Stop(handle, 1000), 1);  // stopped already
  EXPECT_EQ(palvex_Webserver_Stop(PALVEX_NO_WEBSERVER, 1000), 1);
  EXPECT_EQ(palvex_Webserver_Stop(123456789, 1000), 1);
  EXPECT_EQ(palvex_Webserver_Status(PALVEX_NO_WEBSERVER), 0);
  EXPECT_EQ(palvex_Webserver(http_port, 0, nullptr), PALVEX_NO_WEBSERVER);
}

class WebRemote : public WebLocal {
protected:
  void SetUp() override {}  // the audio host is started by each test
};

TEST_F(WebRemote, serves_the_audio_host_through_its_json_port) {
  start_process();
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  palvex_Parameters set = palvex_NewParameters();
  palvex_SetParameter(set, "ROOM", "studio");
  Web web(palvex_Webserver_tcp2(http_port, 0, "127.0.0.1", json_port, set));
  palvex_FreeParameters(set);  // the web server keeps what it needs
  ASSERT_EQ(web.status(), 1);
  Browser browser(http_port);
  EXPECT_EQ(browser.get("/api/config").status, 401);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  HttpReply config = browser.get("/api/config");
  ASSERT_EQ(config.status, 200);
  EXPECT_EQ(config.body["metadata"], (json{{"station", "Radio One"}}));
  EXPECT_EQ(browser.post("/api/set", R"({"in":{"gain":-9}})").body, (json{{"in", {{"gain", -9}}}}));
  HttpReply bad = browser.post("/api/set", R"({"in":{"gain":-99}})");
  EXPECT_EQ(bad.status, 400);
  EXPECT_NE(bad.body.value("error", "").find("out of range"), std::string::npos);
  JsonClient client(json_port);
  EXPECT_EQ(client.request(R"({"get":null})")["in"]["gain"], -9);

  // The audio host restarts: the next request connects again.
  process.reset();
  start_process();
  EXPECT_EQ(browser.get("/api/config").status, 200);
}

TEST_F(WebRemote, an_unreachable_host_answers_502_until_it_comes) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver_tcp2(http_port, 0, "127.0.0.1", json_port, nullptr));
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  const json unreachable = {
      {"error", "Audio host unreachable at 127.0.0.1:" + std::to_string(json_port)}};
  for (HttpReply reply :
       {browser.get("/api/config"), browser.post("/api/set", R"({"in":{"gain":-9}})")}) {
    EXPECT_EQ(reply.status, 502);
    EXPECT_EQ(reply.body, unreachable);
  }
  EXPECT_NE(browser.get("/").text.find("id=\"status\""), std::string::npos);
  start_process();
  EXPECT_EQ(browser.get("/api/config").status, 200);
  process.reset();
  EXPECT_EQ(browser.get("/api/config").status, 502);
}

TEST_F(WebRemote, a_crowd_on_the_json_port_does_not_lock_the_front_end_out) {
  struct Case {
    const char* what;
    bool front_end_first;  // connected before the crowd, so it is the one idle longest
  };
  const Case cases[] = {{"a front-end started after the crowd", false},
                        {"a front-end connected before the crowd", true}};
  start_process();
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  for (const Case& c : cases) {
    Web web(palvex_Webserver_tcp2(http_port, 0, "127.0.0.1", json_port, nullptr));
    Browser browser(http_port);
    ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
    if (c.front_end_first) {
      ASSERT_EQ(browser.get("/api/config").status, 200);
    }
    std::vector<std::unique_ptr<JsonClient>> crowd;
    for (int i = 0; i < 64; ++i) crowd.push_back(std::make_unique<JsonClient>(json_port));
    HttpReply config = browser.get("/api/config");
    EXPECT_EQ(config.status, 200) << c.what << ": " << config.text;
    EXPECT_EQ(config.body["metadata"], (json{{"station", "Radio One"}})) << c.what;
  }
}

TEST(WebTcp2, an_address_that_does_not_resolve_is_unreachable) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  const int http_port = free_tcp_port();
  Web web(palvex_Webserver_tcp2(http_port, 0, "no-such-host.invalid", 5010, nullptr));
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  HttpReply reply = browser.get("/api/config");
  EXPECT_EQ(reply.status, 502);
  EXPECT_EQ(reply.body, (json{{"error", "Audio host unreachable at no-such-host.invalid:5010"}}));
  EXPECT_EQ(web.stop(5000), 0);
}
