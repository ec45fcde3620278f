// palvex-jack's own web server under the hostile rows: its JACK client and audio go on.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "host_run.h"
#include "hostile_clients.h"
#include "jack_server.h"
#include "json_client.h"
#include "process.h"
#include "temp_dir.h"

namespace {

// The JACK ports other than the server's own, as jack_lsp lists them.
std::vector<std::string> client_ports(const JackServer& jackd) {
  const ProcessResult listed = run_process({find_on_path("jack_lsp"), "-s", jackd.name()},
                                           jackd.client_env(), std::chrono::seconds(10));
  std::vector<std::string> ports;
  for (const std::string& line : split_lines(listed.out))
    if (!line.empty() && line.rfind("system:", 0) != 0) ports.push_back(line);
  std::sort(ports.begin(), ports.end());
  return ports;
}

TEST(HostileClientsOnPalvexJack, its_jack_client_and_json_port_keep_running) {
  JackServer jackd;
  ASSERT_TRUE(jackd.ready()) << "the private jackd did not start";
  TempDir state("palvex-state");
  const int web_port = free_tcp_port();
  HostRun host(jackd, {"-w", std::to_string(web_port), "-s", "0", "-D", state.path().string()},
               {{"STATE_DIR", state.path().string()},
                {"SETUP_USER", hostile_user},
                {"SETUP_SECRET", hostile_secret}},
               Engine::stand_in);
  ASSERT_TRUE(host.wait_for_json_port()) << host.diagnostics();
  ASSERT_TRUE(wait_for_tcp_port(web_port, std::chrono::seconds(15))) << host.diagnostics();
  const std::vector<std::string> ports = client_ports(jackd);
  ASSERT_GE(ports.size(), 2u) << "palvex-jack has no JACK ports to watch";

  for (const HostileRow& row : hostile_rows()) {
    if (!row.on_audio_host) continue;
    SCOPED_TRACE(row.name);
    row.run({web_port, host.process().pid()});
    ASSERT_TRUE(host.process().running()) << "palvex-jack ended\n" << host.diagnostics();
    EXPECT_TRUE(page_answers(web_port)) << "GET / is no longer answered";
  }
  EXPECT_EQ(client_ports(jackd), ports) << "palvex-jack's JACK ports changed";
  const nlohmann::json tree =
      nlohmann::json::parse(json_request(host.json_port(), R"({"get":null})"), nullptr, false);
  EXPECT_TRUE(tree.is_object() && tree.contains("in")) << "the JSON port answered " << tree.dump();
  EXPECT_TRUE(host.process().running()) << host.diagnostics();
}

}  // namespace
