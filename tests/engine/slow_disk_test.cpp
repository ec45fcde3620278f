// On a disk whose every fsync takes long (PALVEX_STATE_WRITE_DELAY_MS, set for this program as
// an SD card would be): a takeover's release waits for no write, a process made while the last
// write runs joins the live configuration instead of reading the file, and the stop waits for
// that write, so the file holds what was set last.
#include <gtest/gtest.h>

#include <future>
#include <memory>

#include "engine_fixture.h"
#include "process.h"
#include "temp_dir.h"

using nlohmann::json;

namespace {

constexpr auto kSlowWrite = std::chrono::milliseconds(300);  // as in CMakeLists.txt

ProcessOptions options_on(const TempDir& dir, int port) {
  ProcessOptions options;
  options.storage_dir = dir.path();
  options.json_port = port;
  options.metadata = {{"station", "Slow"}};
  return options;
}

double ms_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
      .count();
}

}  // namespace

TEST(SlowDisk, a_takeover_waits_for_no_write_and_the_last_stop_waits_for_the_last_one) {
  TempDir dir;
  const int port = free_tcp_port();
  auto old_process = std::make_unique<RunningProcess>(options_on(dir, port));
  ASSERT_EQ(old_process->ready(), 0);
  JsonClient client(port);
  const auto set_at = std::chrono::steady_clock::now();
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":-7}}})"), (json{{"in", {{"gain", -7}}}}));
  EXPECT_EQ(client.request(R"({"set":{"in":{"gain":-8}}})"), (json{{"in", {{"gain", -8}}}}));
  // Answered long before the write is done.
  EXPECT_LT(ms_since(set_at), kSlowWrite.count() / 2.0);

  RunningProcess new_process(options_on(dir, port));
  ASSERT_EQ(new_process.ready(), 0);
  const auto released_at = std::chrono::steady_clock::now();
  old_process.reset();
  EXPECT_LT(ms_since(released_at), kSlowWrite.count() / 2.0);

  new_process.stop();
  EXPECT_EQ(json::parse(read_file(dir.file("palvex.state"))), (json{{"in", {{"gain", -8}}}}));
  EXPECT_EQ(json::parse(read_file(dir.file("palvex.onair")))["in"]["gain"], -8);
}

TEST(SlowDisk, a_process_made_while_the_last_write_runs_joins_the_live_configuration) {
  TempDir dir;
  write_file(dir.file("palvex.state"), "{\"in\":{\"gain\":-3}}\n");
  const int port = free_tcp_port();
  auto first = std::make_unique<RunningProcess>(options_on(dir, port));
  ASSERT_EQ(first->ready(), 0);
  {
    JsonClient client(port);
    EXPECT_FALSE(client.request(R"({"set":{"in":{"gain":-7}}})").contains("error"));
  }
  // The last process goes while its files are being written; another comes meanwhile.
  auto stopped = std::async(std::launch::async, [&] { first.reset(); });
  std::this_thread::sleep_for(kSlowWrite / 4);
  ASSERT_EQ(stopped.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
      << "the stop did not wait for the write";
  EXPECT_EQ(read_file(dir.file("palvex.state")), "{\"in\":{\"gain\":-3}}\n");
  EngineLogCapture log;
  RunningProcess second(options_on(dir, port));
  ASSERT_EQ(second.ready(), 0);
  EXPECT_TRUE(log.contains("Carrying on with the live configuration"));
  stopped.get();
  JsonClient client(port);
  EXPECT_EQ(client.request(R"({"get":null})")["in"]["gain"], -7);
  EXPECT_EQ(json::parse(read_file(dir.file("palvex.state"))), (json{{"in", {{"gain", -7}}}}));
}
