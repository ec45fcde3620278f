// palvex-pipewire with the stand-in engine while the graph's quantum changes: every change
// makes a new engine process on the data thread while the old one still serves, and the new
// one must take over its JSON port, web server and live configuration. Our source plays
// through the host into our recorder, a gain is set at run time with the state read-only, and
// no sample may leave the node unprocessed or at another gain.
#include <gtest/gtest.h>
#include <httplib.h>

#include <cmath>
#include <memory>
#include <thread>

#include "audio_probe.h"
#include "audio_verdict.h"
#include "exact_quanta.h"
#include "host_node.h"

namespace {

using namespace std::chrono_literals;
using nlohmann::json;

// A JSON control client that keeps its connection, like an operator's console.
class KeptJsonClient {
public:
  explicit KeptJsonClient(int port) : port_(port), client_(std::make_unique<JsonClient>(port)) {}

  // The reply on the kept connection; when the host closed it, one new connection is tried.
  json request(const std::string& text) {
    json reply = client_->request(text);
    if (!reply.is_null()) return reply;
    ++reconnects_;
    client_ = std::make_unique<JsonClient>(port_);
    return client_->request(text);
  }
  int reconnects() const { return reconnects_; }

private:
  int port_;
  std::unique_ptr<JsonClient> client_;
  int reconnects_ = 0;
};

size_t count_of(const std::string& text, const std::string& part) {
  size_t found = 0;
  for (size_t at = text.find(part); at != std::string::npos; at = text.find(part, at + 1)) ++found;
  return found;
}

TEST(QuantumChangeTakeover, the_new_instance_keeps_processing_control_and_sessions) {
  const ExactQuantaConfig exact_quanta;
  PipeWireServer server;
  ASSERT_TRUE(server.ready()) << server.log();
  // The first chunk is the largest (the stand-in takes the quantum as its chunk where it can),
  // so the latency stays that chunk through every change.
  ASSERT_TRUE(server.force_quantum(256));
  server.use_in_this_process();
  AudioProbe probe;
  ASSERT_TRUE(probe.ready());

  const int json_port = free_tcp_port(), http_port = free_tcp_port();
  HostRun host(server, {"-r", "-w", std::to_string(http_port)},
               EnvChanges{{"SETUP_USER", "operator"}, {"SETUP_SECRET", "s3cret"}}, Engine::stand_in,
               json_port);
  const std::optional<GraphNode> palvex = wait_for_host_node(host, server);
  ASSERT_TRUE(palvex) << host.diagnostics();
  ASSERT_TRUE(link_probe_through(server, *palvex, true));
  ASSERT_TRUE(wait_for_tcp_port(json_port, 10s)) << host.diagnostics();
  ASSERT_TRUE(wait_for_tcp_port(http_port, 10s)) << host.diagnostics();

  KeptJsonClient console(json_port);
  ASSERT_EQ(console.request(R"({"set":{"in":{"gain":-20}}})"), (json{{"in", {{"gain", -20}}}}))
      << host.diagnostics();
  httplib::Client browser("127.0.0.1", http_port);
  browser.set_read_timeout(5, 0);
  auto login =
      browser.Post("/api/login", R"({"user":"operator","secret":"s3cret"})", "application/json");
  ASSERT_TRUE(login && login->status == 200) << host.diagnostics();
  const std::string cookie = login->get_header_value("Set-Cookie");
  const httplib::Headers session{{"Cookie", cookie.substr(0, cookie.find(';'))}};

  // What reaches the recorder from here on left the engine after the gain ramp.
  const auto wait_for_recorded = [&](size_t samples) {
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    while (probe.recorded() < samples && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    return probe.recorded() >= samples;
  };
  ASSERT_TRUE(wait_for_recorded(probe.recorded() + 48000 / 10));
  const size_t after_gain = probe.recorded();

  // 100 is no multiple of anything before it; 256 and 100 come back.
  const uint32_t quanta[] = {100, 128, 64, 256, 100};
  for (uint32_t quantum : quanta) {
    SCOPED_TRACE(quantum);
    const std::string made = "INFO  Process frames = " + std::to_string(quantum) + "\n";
    const size_t made_before = count_of(host.process().stderr_text(), made);
    ASSERT_TRUE(server.force_quantum(quantum));
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (count_of(host.process().stderr_text(), made) == made_before &&
           std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(20ms);
    ASSERT_GT(count_of(host.process().stderr_text(), made), made_before) << host.diagnostics();

    // The JSON port answers, on the kept connection or a new one, at the gain set before.
    const json tree = console.request(R"({"get":null})");
    EXPECT_EQ(tree["in"]["gain"], -20) << tree << host.diagnostics();
    // The web session is still known.
    auto config = browser.Get("/api/config", session);
    ASSERT_TRUE(config) << host.diagnostics();
    EXPECT_EQ(config->status, 200) << config->body;
    EXPECT_EQ(json::parse(config->body, nullptr, false)["in"]["gain"], -20) << config->body;
    ASSERT_TRUE(wait_for_recorded(probe.recorded() + 48000 / 2)) << host.diagnostics();
  }
  EXPECT_LE(console.reconnects(), static_cast<int>(std::size(quanta)));
  const std::vector<RecordedSample> samples = probe.take();

  const std::string log = host.process().stderr_text();
  for (const char* failure : {"Invalid instance", "Error creating the process",
                              "Error starting web server", "cannot listen"})
    EXPECT_EQ(log.find(failure), std::string::npos) << failure << "\n" << host.diagnostics();

  // Every sample at the set gain, one (first) chunk late: none passed through unprocessed.
  Expected expected;
  expected.gain = std::pow(10.0f, -20.0f / 20.0f);
  expected.tolerance = 1e-6f;
  expected.latency = 256;
  expected.smallest_quantum = 64;
  expected.graph_explains_breaks = true;
  expected.source_jumps = probe.source_jumps();
  const Verdict verdict =
      judge({samples.begin() + static_cast<long>(after_gain), samples.end()}, expected);
  expect_sound(verdict, host.diagnostics(), 48000);
  EXPECT_EQ(verdict.quanta, (std::set<uint32_t>{64, 100, 128, 256}));
  EXPECT_EQ(verdict.malformed, 0u) << verdict.first_fault;
}

}  // namespace
