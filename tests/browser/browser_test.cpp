// A real browser on palvex-webfront: headless Chromium logs in and sets the gain of palvex-jack.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "audio_host.h"
#include "process.h"
#include "web_clients.h"

namespace {

constexpr const char* chromium_path = "/usr/bin/chromium";
constexpr const char* user = "operator";
constexpr const char* secret = "browser-secret-7";

struct PageRun {
  bool ok = false;
  nlohmann::json seen;  // what the page showed
  std::string output;   // everything the script wrote, for failure messages
};

// One run of the driver script in a fresh Chromium profile.
PageRun drive_page(int web_port, const std::string& mode, const std::string& shot,
                   const std::string& gain = "", const std::string& delay_ms = "") {
  TempDir profile("palvex-chromium");
  EnvChanges env{{"WEBFRONT_URL", "http://127.0.0.1:" + std::to_string(web_port) + "/"},
                 {"WEBFRONT_USER", user},
                 {"WEBFRONT_SECRET", secret},
                 {"WEBFRONT_MODE", mode},
                 {"WEBFRONT_GAIN", gain},
                 {"WEBFRONT_DELAY_MS", delay_ms},
                 {"WEBFRONT_OUTPUT_DIR", std::string(PALVEX_BROWSER_OUTPUT_DIR)},
                 {"WEBFRONT_SHOT", shot},
                 {"WEBFRONT_USER_DATA", profile.file("profile")},
                 {"CHROMIUM", chromium_path},
                 {"HOME", profile.path().string()}};
  const ProcessResult result =
      run_process({"/usr/bin/node", std::string(PALVEX_BROWSER_DIR) + "/drive_webfront.mjs"}, env,
                  std::chrono::seconds(120));
  PageRun run;
  run.output = result.out + result.err;
  run.ok = result.exited && result.status == 0;
  const std::vector<std::string> lines = split_lines(result.out);
  if (!lines.empty()) run.seen = nlohmann::json::parse(lines.back(), nullptr, false);
  return run;
}

class BrowserOnWebfront : public testing::Test {
protected:
  void SetUp() override {
    if (!std::filesystem::exists(chromium_path))
      GTEST_SKIP() << "Chromium is not installed at " << chromium_path
                   << " (apt-get install chromium): the browser test cannot run here";
    ASSERT_TRUE(std::filesystem::exists("/usr/bin/node"))
        << "node is missing: run tests/browser/setup.sh first";
    ASSERT_TRUE(
        std::filesystem::exists(std::string(PALVEX_BROWSER_DIR) + "/node_modules/playwright-core"))
        << "playwright-core is missing: run tests/browser/setup.sh first";
    ASSERT_TRUE(jackd_.ready()) << "the private jackd did not start";
    host_ = start_audio_host(jackd_, state_.path().string());
    ASSERT_TRUE(host_->wait_for_json_port()) << host_->diagnostics();
    front_ = std::make_unique<RealWebfront>(
        host_->json_port(), EnvChanges{{"SETUP_USER", user}, {"SETUP_SECRET", secret}});
    ASSERT_TRUE(front_->start_http()) << front_->child().stderr_text();
  }

  void TearDown() override {
    if (front_) {
      EXPECT_TRUE(front_->stop());
    }
  }

  JackServer jackd_;
  TempDir state_{"palvex-state"};
  std::unique_ptr<HostRun> host_;
  std::unique_ptr<RealWebfront> front_;
};

TEST_F(BrowserOnWebfront, logs_in_and_sets_the_gain_of_the_host) {
  const PageRun run = drive_page(front_->web_port(), "gain", "gain-set.png", "-14.5");
  ASSERT_TRUE(run.ok) << run.output;
  EXPECT_EQ(run.seen["before"], 0) << "the page did not show the host's gain";
  EXPECT_EQ(run.seen["after"], -14.5);
  EXPECT_EQ(host_gain(host_->json_port()), -14.5) << "the host's JSON port tells otherwise";
  EXPECT_TRUE(std::filesystem::exists(std::string(PALVEX_BROWSER_OUTPUT_DIR) + "/gain-set.png"));
}

TEST_F(BrowserOnWebfront, shows_the_host_unreachable_and_recovers) {
  const int port = host_->json_port();
  ASSERT_TRUE(host_->stop()) << host_->diagnostics();
  const PageRun gone = drive_page(front_->web_port(), "unreachable", "host-unreachable.png");
  ASSERT_TRUE(gone.ok) << gone.output;
  EXPECT_EQ(gone.seen["status"], "Audio host unreachable at 127.0.0.1:" + std::to_string(port));

  host_ = start_audio_host(jackd_, state_.path().string(), port);
  ASSERT_TRUE(host_->wait_for_json_port()) << host_->diagnostics();
  const PageRun back = drive_page(front_->web_port(), "gain", "host-back.png", "-3");
  ASSERT_TRUE(back.ok) << back.output;
  EXPECT_EQ(host_gain(port), -3.0);
}

TEST_F(BrowserOnWebfront, starts_no_refresh_while_one_waits_for_a_slow_host) {
  // Every call takes 2.5 s, the page refreshes every second: for 7.5 s it must wait its turn.
  const PageRun run = drive_page(front_->web_port(), "slow", "slow-host.png", "", "2500");
  ASSERT_TRUE(run.ok) << run.output;
  EXPECT_EQ(run.seen["most_at_once"], 1) << run.seen.dump();
  EXPECT_GE(run.seen["calls"].get<int>(), 3) << "the page stopped refreshing: " << run.seen.dump();
}

}  // namespace
