// palvex-webfront against clients without a login that try to crash it, fill its memory or
// lock others out: one row per kind, each on the running program, which must survive them all.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <thread>
#include <vector>

#include "audio_host.h"
#include "hostile_clients.h"
#include "process.h"
#include "raw_client.h"
#include "scripted_host.h"
#include "temp_dir.h"

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

EnvChanges login_env() { return {{"SETUP_USER", hostile_user}, {"SETUP_SECRET", hostile_secret}}; }

double ms_since(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// GET / from 127.0.0.1 on a fresh connection: the time to the whole answer, -1 without one.
double timed_page(int port) {
  const auto start = Clock::now();
  RawClient client(port);
  if (!client.connected() ||
      !client.send_bytes("GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\n\r\n"))
    return -1;
  return client.read_reply(5s).status == 200 ? ms_since(start) : -1;
}

// The same over HTTPS with curl, which times only the request.
double timed_tls_page(int port) {
  const ProcessResult curl =
      run_process({"/usr/bin/curl", "-sk", "--max-time", "5", "-o", "/dev/null", "-w",
                   "%{http_code} %{time_total}", "https://127.0.0.1:" + std::to_string(port) + "/"},
                  {}, 10s);
  std::istringstream words(curl.out);
  int status = 0;
  double seconds = -1;
  words >> status >> seconds;
  return status == 200 ? seconds * 1000 : -1;
}

// Hundreds of connections from 127.0.0.2 and up, two an address: one that sends nothing and
// one that sends the start of a request (or of a TLS handshake). Then the operator's page.
void crowd_then_page(int port, const std::string& half, double (*timed)(int)) {
  std::vector<std::unique_ptr<RawClient>> crowd;
  for (int i = 0; i < 150; ++i) {
    const std::string from = "127.0." + std::to_string(i / 200) + "." + std::to_string(2 + i % 200);
    crowd.push_back(std::make_unique<RawClient>(port, from));
    crowd.push_back(std::make_unique<RawClient>(port, from));
    crowd.back()->send_bytes(half, 1s);
  }
  int connected = 0;
  for (const auto& client : crowd) connected += client->connected() ? 1 : 0;
  EXPECT_EQ(connected, 300) << "the crowd could not connect";
  std::this_thread::sleep_for(300ms);  // the server has seen them all
  double best = 1e9;
  for (int i = 0; i < 3; ++i) {
    const double took = timed(port);
    EXPECT_GE(took, 0) << "GET / from 127.0.0.1 got no answer behind the crowd";
    if (took >= 0 && took < best) best = took;
  }
  EXPECT_LT(best, 50) << "GET / from 127.0.0.1 behind 300 connections took " << best << " ms";
}

void idle_crowd(int port) { crowd_then_page(port, "GET / HTTP/1.1\r\nHost: a\r\n", timed_page); }

void idle_tls_crowd(int json_port) {
  TempDir tls("palvex-tls");
  const ProcessResult made = run_process(
      {"/usr/bin/openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "1", "-subj",
       "/CN=127.0.0.1", "-keyout", tls.file("key.pem"), "-out", tls.file("cert.pem")});
  ASSERT_EQ(made.status, 0) << made.err;
  EnvChanges env = login_env();
  env["SSL_CERTIFICATE_PATH"] = tls.file("cert.pem");
  env["SSL_PRIVATE_PATH"] = tls.file("key.pem");
  RealWebfront front(json_port, env);
  ASSERT_TRUE(front.start_https()) << front.child().stderr_text();
  // A TLS record that promises a 512-byte ClientHello and brings six bytes of it.
  crowd_then_page(front.web_port(), std::string("\x16\x03\x01\x02\x00\x01\x00\x01\xfc\x03\x03", 11),
                  timed_tls_page);
  EXPECT_TRUE(front.child().running()) << front.child().stderr_text();
}

// 80 clients from 80 addresses each send their request a byte at a time: the page is
// answered at once meanwhile.
void tricklers(int port) {
  std::vector<std::unique_ptr<RawClient>> slow;
  for (int i = 1; i <= 80; ++i) {
    slow.push_back(std::make_unique<RawClient>(port, "127.0.1." + std::to_string(i)));
    slow.back()->send_bytes("GET / HTTP/1.1\r\nHost: a\r\nX-Trickle: ", 1s);
  }
  for (int step = 0; step < 10; ++step) {
    for (const auto& client : slow) client->send_bytes("x", 100ms);
    std::this_thread::sleep_for(250ms);
    if (step % 3 == 2) {
      const double took = timed_page(port);
      EXPECT_GE(took, 0) << "no answer while 80 clients trickle";
      EXPECT_LT(took, 500) << "GET / waited behind the trickling clients";
    }
  }
}

// A stop while a client trickles a chunked body: the program ends as it always does.
void stop_while_trickling(int json_port) {
  RealWebfront front(json_port, login_env());
  ASSERT_TRUE(front.start_http()) << front.child().stderr_text();
  RawClient client(front.web_port());
  ASSERT_TRUE(client.connected());
  client.send_bytes(
      "POST /api/login HTTP/1.1\r\nHost: a\r\nContent-Type: application/json\r\n"
      "Transfer-Encoding: chunked\r\n\r\n");
  std::atomic<bool> done{false};
  std::thread trickle([&] {
    for (int i = 0; i < 100 && !done; ++i) {
      client.send_bytes("1\r\n \r\n", 100ms);
      std::this_thread::sleep_for(100ms);
    }
  });
  std::this_thread::sleep_for(300ms);
  const auto signalled = Clock::now();
  front.child().send_signal(SIGTERM);
  const bool ended = front.child().wait_for_exit(5s);
  const double took = ms_since(signalled);
  done = true;
  trickle.join();
  ASSERT_TRUE(ended) << "still running 5 s after SIGTERM";
  // Up to a second to notice the signal, then the stop itself.
  EXPECT_LT(took, 2500) << "the stop took " << took << " ms";
  EXPECT_TRUE(front.child().result().exited);
  EXPECT_EQ(front.child().result().status, 0) << front.child().stderr_text();
}

class HostileClients : public testing::Test {
protected:
  void SetUp() override {
    host_.answer_with(R"({"in":{"gain":-6}})"
                      "\n");
    start_front();
  }
  void start_front() {
    front_ = std::make_unique<RealWebfront>(host_.port(), login_env());
    ASSERT_TRUE(front_->start_http()) << front_->child().stderr_text();
  }

  ScriptedHost host_;
  std::unique_ptr<RealWebfront> front_;
};

TEST_F(HostileClients, palvex_webfront_survives_each_and_keeps_serving_others) {
  std::vector<HostileRow> rows = hostile_rows();
  const int json_port = host_.port();
  rows.push_back({"hundreds of idle and half-sent connections from other addresses", false,
                  [](const WebTarget& target) { idle_crowd(target.web_port); }});
  rows.push_back({"hundreds of idle and half-handshaken TLS connections", false,
                  [json_port](const WebTarget&) { idle_tls_crowd(json_port); }});
  rows.push_back({"clients that trickle their requests", false,
                  [](const WebTarget& target) { tricklers(target.web_port); }});
  rows.push_back({"a stop while a client trickles a chunked body", false,
                  [json_port](const WebTarget&) { stop_while_trickling(json_port); }});
  for (const HostileRow& row : rows) {
    SCOPED_TRACE(row.name);
    const auto started = Clock::now();
    row.run({front_->web_port(), front_->child().pid()});
    EXPECT_LT(ms_since(started), 30000) << "the row took too long";
    const bool alive = front_->child().running();
    EXPECT_TRUE(alive) << "palvex-webfront ended: " << front_->child().stderr_text();
    if (!alive) {
      start_front();  // the next rows get a program to try
      continue;
    }
    EXPECT_TRUE(page_answers(front_->web_port())) << "GET / is no longer answered";
  }
}

}  // namespace
