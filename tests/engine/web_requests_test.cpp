// What the web server takes from a client before acting on a request: bodies within 64 KiB,
// no packed bodies, changes only from its own page, a share of the connections per address,
// and a stop that no client holds up.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "web_clients.h"

using nlohmann::json;
using Clock = std::chrono::steady_clock;

namespace {

class WebRequests : public WebLocal {};

std::string login_request(const std::string& extra_headers, const std::string& body) {
  return "POST /api/login HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
         extra_headers + "\r\n" + body;
}

std::string with_length(const std::string& body) {
  return "Content-Length: " + std::to_string(body.size()) + "\r\n";
}

std::string chunked(size_t bytes) {
  std::string body;
  for (size_t left = bytes; left > 0;) {
    const size_t piece = std::min<size_t>(left, 0x4000);
    char size[16];
    std::snprintf(size, sizeof size, "%zx\r\n", piece);
    body += size + std::string(piece, 'a') + "\r\n";
    left -= piece;
  }
  return body + "0\r\n\r\n";
}

}  // namespace

TEST_F(WebRequests, bodies_past_64_KiB_and_packed_bodies_are_refused_and_the_connection_closes) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  ASSERT_EQ(web.status(), 1);
  const std::string good = R"({"user":"operator","secret":"s3cret"})";
  const std::string large(64 * 1024 + 1, 'a');
  struct Case {
    const char* what;
    std::string request;
    int status;   // 0: the connection ends without an answer
    bool closed;  // the server closes the connection after it
  };
  const Case cases[] = {
      {"a body that says it is larger, before any 100 Continue",
       login_request("Content-Length: 65537\r\nExpect: 100-continue\r\n", ""), 413, true},
      {"a body that says it is larger, sent", login_request(with_length(large), large), 413, true},
      {"a chunked body past 64 KiB",
       login_request("Transfer-Encoding: chunked\r\n", chunked(70000)), 413, true},
      {"a chunked body of 8 MiB is cut off",
       login_request("Transfer-Encoding: chunked\r\n", chunked(8 << 20)), 0, true},
      {"a gzip body", login_request("Content-Encoding: gzip\r\n" + with_length(good), good), 415,
       true},
      {"a body packed twice",
       login_request("Content-Encoding: identity, gzip\r\n" + with_length(good), good), 415, true},
      {"an identity body",
       login_request("Content-Encoding: identity\r\n" + with_length(good), good), 200, false},
      {"a chunked body within 64 KiB",
       login_request("Transfer-Encoding: chunked\r\n", "25\r\n" + good + "\r\n0\r\n\r\n"), 200,
       false},
      {"a body of 64 KiB exactly", login_request(with_length(large.substr(1)), large.substr(1)),
       400, false},
  };
  for (const Case& c : cases) {
    // A connection kept open is read until it has been quiet a while.
    const RawReply reply = raw_request(http_port, c.request, "127.0.0.1", c.closed ? 5000 : 300);
    EXPECT_EQ(reply.status(), c.status) << c.what << ": " << reply.text.substr(0, 200);
    EXPECT_EQ(reply.closed, c.closed) << c.what;
    EXPECT_EQ(reply.text.find("100 Continue"), std::string::npos) << c.what;
    if (c.status == 413) {
      EXPECT_NE(reply.text.find(R"({"error":"Request body larger than 64 KiB"})"),
                std::string::npos)
          << c.what;
    }
  }
  // The server is as it was for the next client.
  EXPECT_EQ(Browser(http_port).login("operator", "s3cret").status, 200);
}

TEST_F(WebRequests, pipelined_requests_are_answered_in_order_and_ranges_are_ignored) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  std::string ranges = "Range: bytes=0-0";
  for (int i = 1; i < 3000; ++i)
    ranges += "," + std::to_string(i * 2) + "-" + std::to_string(i * 2);
  const std::string session = "Cookie: " + browser.cookie() + "\r\n";
  const std::string set = R"({"in":{"gain":-4}})";
  const RawReply reply =
      raw_request(http_port,
                  "GET /api/config HTTP/1.1\r\nHost: x\r\n\r\n"  // 401
                  "GET / HTTP/1.1\r\nHost: x\r\n" +
                      ranges + "\r\n\r\n" +  // 200, the whole page
                      "POST /api/set HTTP/1.1\r\nHost: x\r\nContent-Type: application/json\r\n" +
                      session + with_length(set) + "\r\n" + set +  // 200
                      "GET /nowhere HTTP/1.1\r\nHost: x\r\n\r\n"   // 404
                      "GET /api/config HTTP/1.1\r\nHost: x\r\n" +
                      session + "\r\n",  // 200, gain -4
                  "127.0.0.1", 1500);
  std::vector<int> statuses;
  for (size_t at = reply.text.find("HTTP/1.1 "); at != std::string::npos;
       at = reply.text.find("HTTP/1.1 ", at + 1))
    statuses.push_back(std::atoi(reply.text.c_str() + at + 9));
  EXPECT_EQ(statuses, (std::vector<int>{401, 200, 200, 404, 200})) << reply.text.substr(0, 300);
  EXPECT_FALSE(reply.closed);
  EXPECT_EQ(reply.text.find("206"), std::string::npos);
  EXPECT_NE(reply.text.find(R"({"in":{"gain":-4},)"), std::string::npos);
  const std::string page = Browser(http_port).get("/").text;
  ASSERT_FALSE(page.empty());
  EXPECT_NE(reply.text.find("Content-Length: " + std::to_string(page.size()) + "\r\n"),
            std::string::npos);
  EXPECT_NE(reply.text.find(page), std::string::npos);
}

TEST_F(WebRequests, long_cookies_fit_and_a_header_block_past_the_connection_memory_is_refused) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  // Other sites' cookies on the same host name come along with the session.
  browser.set_cookie("other=" + std::string(64 * 1024, 'c') + "; " + browser.cookie());
  EXPECT_EQ(browser.get("/api/config").status, 200);
  const RawReply huge =
      raw_request(http_port, "GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + std::string(200 * 1024, 'b') +
                                 "\r\n\r\n");
  EXPECT_NE(huge.status(), 200);
  EXPECT_TRUE(huge.closed);
  EXPECT_EQ(Browser(http_port).get("/").status, 200);
}

TEST_F(WebRequests, state_changes_are_taken_only_from_the_page_itself_and_as_json) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);
  const std::string self = "http://127.0.0.1:" + std::to_string(http_port);
  const std::string other_port = "http://127.0.0.1:" + std::to_string(http_port + 1);
  struct Case {
    std::string headers;
    int set_status;    // POST /api/set with a good session
    int login_status;  // POST /api/login with the right secret
  };
  const Case cases[] = {
      {"Content-Type: application/json\r\n", 200, 200},  // curl, scripts
      {"Content-Type: application/json\r\nOrigin: " + self + "\r\n", 200, 200},
      {"Content-Type: application/json\r\nOrigin: " + self + "\r\nSec-Fetch-Site: same-origin\r\n",
       200, 200},
      {"Content-Type: application/json\r\nSec-Fetch-Site: none\r\n", 200, 200},
      {"Content-Type: application/json; charset=utf-8\r\n", 200, 200},
      {"Content-Type: Application/JSON\r\n", 200, 200},
      {"Content-Type: application/json\r\nOrigin: " + other_port + "\r\n", 403, 403},
      {"Content-Type: application/json\r\nOrigin: https://127.0.0.1:" + std::to_string(http_port) +
           "\r\n",
       403, 403},
      {"Content-Type: application/json\r\nOrigin: null\r\n", 403, 403},
      {"Content-Type: application/json\r\nOrigin: " + self + "/\r\n", 403, 403},
      {"Content-Type: application/json\r\nSec-Fetch-Site: same-site\r\n", 403, 403},
      {"Content-Type: application/json\r\nSec-Fetch-Site: cross-site\r\n", 403, 403},
      {"Content-Type: application/json\r\nOrigin: " + self + "\r\nSec-Fetch-Site: same-site\r\n",
       403, 403},
      {"Content-Type: text/plain\r\n", 415, 200},
      {"", 415, 200},
      {"Content-Type: application/x-www-form-urlencoded\r\n", 415, 200},
      {"Content-Type: application/json-seq\r\n", 415, 200},
      {"Content-Type: application/json; boundary=x\r\n", 415, 200},
  };
  const std::string set = R"({"in":{"gain":-3}})";
  const std::string login = R"({"user":"operator","secret":"s3cret"})";
  const std::string host =
      "Host: 127.0.0.1:" + std::to_string(http_port) + "\r\nConnection: close\r\n";
  for (const Case& c : cases) {
    const RawReply set_reply =
        raw_request(http_port,
                    "POST /api/set HTTP/1.1\r\n" + host + "Cookie: " + browser.cookie() + "\r\n" +
                        c.headers + with_length(set) + "\r\n" + set,
                    "127.0.0.1", 1000);
    EXPECT_EQ(set_reply.status(), c.set_status) << c.headers;
    if (c.set_status == 403) {
      EXPECT_NE(set_reply.text.find(R"({"error":"Request from another site refused"})"),
                std::string::npos);
    }
    if (c.set_status == 415) {
      EXPECT_NE(set_reply.text.find(R"({"error":"Content-Type must be application/json"})"),
                std::string::npos);
    }
    const RawReply login_reply = raw_request(
        http_port,
        "POST /api/login HTTP/1.1\r\n" + host + c.headers + with_length(login) + "\r\n" + login,
        "127.0.0.1", 1000);
    EXPECT_EQ(login_reply.status(), c.login_status) << c.headers;
  }
  // The origin of an HTTPS request is https://, with the Host it was sent to.
  EXPECT_EQ(browser.get("/api/config").body["in"]["gain"], -3);
}

// One address can hold its share of a listener, never all of it: the connections past its
// share are closed at once, and other addresses are served as usual.
TEST_F(WebRequests, one_address_holds_at_most_32_connections_and_others_are_still_served) {
  LoginEnv env({{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}});
  Web web(palvex_Webserver(http_port, 0, process->get()));
  SlowClients crowd(http_port, 32, true, "127.0.0.7");
  ASSERT_EQ(crowd.connected(), 32u);
  std::this_thread::sleep_for(std::chrono::milliseconds(200));  // all accepted
  const RawReply refused =
      raw_request(http_port, "GET / HTTP/1.1\r\nHost: x\r\n\r\n", "127.0.0.7", 2000);
  EXPECT_TRUE(refused.closed);
  EXPECT_EQ(refused.status(), 0);
  for (const char* source : {"127.0.0.1", "127.0.0.8"}) {
    const auto start = Clock::now();
    EXPECT_EQ(raw_request(http_port, "GET / HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n",
                          source, 2000)
                  .status(),
              200)
        << source;
    // Generous: answered at once, not after a time-out of a crowd.
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << source;
  }
}

class WebStop : public WebLocal {};

// The stop closes every connection and returns within about a second, whatever the clients
// send or the audio host answers.
TEST_F(WebStop, closes_every_connection_within_a_second_whatever_the_clients_do) {
  Certificate certificate;
  const LoginEnv env = operator_with_certificate(certificate);
  PortHolder silent_host;  // takes the connection, never answers
  const int https_port = free_tcp_port();
  Web web(palvex_Webserver_tcp2(http_port, https_port, "127.0.0.1", silent_host.port(), nullptr));
  ASSERT_EQ(web.status(), 3);
  Browser browser(http_port);
  ASSERT_EQ(browser.login("operator", "s3cret").status, 200);

  // A request waiting for the silent host, while others are served as usual.
  auto waiting = std::async(std::launch::async, [&] { return browser.get("/api/config"); });
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  const auto asked = Clock::now();
  EXPECT_EQ(Browser(http_port).get("/").status, 200);
  EXPECT_EQ(Browser(https_port, true).get("/").status, 200);
  EXPECT_LT(Clock::now() - asked, std::chrono::seconds(1));

  // A chunked body a byte at a time, a header trickled, a TLS client that never says hello.
  std::atomic<bool> done{false};
  std::thread trickler([&] {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(http_port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
      const std::string head =
          "POST /api/login HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n1000\r\n";
      (void)send(fd, head.data(), head.size(), MSG_NOSIGNAL);
      while (!done && send(fd, "a", 1, MSG_NOSIGNAL) == 1)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    close(fd);
  });
  SlowClients header_trickle(http_port, 4, true);
  SlowClients silent_tls(https_port, 4, false);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));

  const auto stopping = Clock::now();
  EXPECT_EQ(web.stop(5000), 0);
  EXPECT_LT(Clock::now() - stopping, std::chrono::seconds(1));
  done = true;
  trickler.join();
  // The waiting request was answered at the stop, or its connection closed.
  ASSERT_EQ(waiting.wait_for(std::chrono::seconds(1)), std::future_status::ready);
  const HttpReply reply = waiting.get();
  EXPECT_TRUE(reply.status == 0 || reply.status == 503) << reply.status;
  EXPECT_FALSE(wait_for_tcp_port(http_port, std::chrono::milliseconds(100)));
  EXPECT_FALSE(wait_for_tcp_port(https_port, std::chrono::milliseconds(100)));
}

// What the library complains of reaches the log, a few lines a second however many clients
// give it cause; and clients that reset their connections while their answers are written
// raise no SIGPIPE (which would end this test program).
TEST_F(WebRequests, the_librarys_complaints_are_logged_a_few_lines_a_second) {
  Certificate certificate;
  const LoginEnv env = operator_with_certificate(certificate);
  const int https_port = free_tcp_port();
  Web web(palvex_Webserver(http_port, https_port, process->get()));
  ASSERT_EQ(web.status(), 3);
  EngineLogCapture log;
  const std::string too_large =
      "GET / HTTP/1.1\r\nHost: x\r\nCookie: a=" + std::string(90 * 1024, 'c') + "\r\n\r\n";
  std::string requests;
  for (int i = 0; i < 20; ++i) requests += "GET / HTTP/1.1\r\nHost: x\r\n\r\n";
  const auto start = Clock::now();
  for (int round = 0; round < 100; ++round) {
    EXPECT_EQ(raw_request(http_port, too_large).status(), 431);
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(http_port));
    if (connect(fd, reinterpret_cast<sockaddr*>(&server), sizeof server) == 0) {
      (void)send(fd, requests.data(), requests.size(), MSG_NOSIGNAL);
      char first;
      (void)recv(fd, &first, 1, 0);  // the answers are being written
      const linger reset{1, 0};
      setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    }
    close(fd);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  const int lines = log.count("Web server: ");
  EXPECT_GE(lines, 2);  // at least the first refusal
  // Five a second, in at most two windows more than whole seconds passed.
  EXPECT_LE(lines, 5 * (static_cast<int>(seconds) + 2)) << "in " << seconds << " s";
  EXPECT_EQ(Browser(http_port).get("/").status, 200);
  EXPECT_EQ(Browser(https_port, true).get("/").status, 200);
}
