// A process made while another of this engine serves the same JSON port and state files, as
// the PipeWire host does at every quantum change: it takes the port over and carries on from
// the live configuration; another program still cannot have the port.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "child_rerun.h"
#include "engine_fixture.h"
#include "process.h"
#include "temp_dir.h"

using nlohmann::json;

namespace {

float linear(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

// Each process says who it is in its metadata, so a reply shows which one answered.
ProcessOptions named(const std::string& who, const std::string& dir, int port,
                     std::vector<std::pair<std::string, std::string>> parameters = {},
                     int chunk = 64) {
  ProcessOptions options;
  options.storage_dir = dir;
  options.json_port = port;
  options.chunk = chunk;
  options.parameters = std::move(parameters);
  options.metadata = {{"who", who}};
  return options;
}

json who_answers(JsonClient& client) {
  return client.request(R"({"get":null})")["metadata"]["who"];
}

}  // namespace

TEST(Takeover, the_new_process_serves_the_port_and_the_old_one_goes_without_interrupting_it) {
  TempDir dir;
  const int port = free_tcp_port();
  auto old_process = std::make_unique<RunningProcess>(named("old", dir.path(), port));
  ASSERT_EQ(old_process->ready(), 0);
  JsonClient old_client(port);
  ASSERT_EQ(who_answers(old_client), "old");

  EngineLogCapture log;
  RunningProcess new_process(named("new", dir.path(), port, {}, 256));
  ASSERT_EQ(new_process.ready(), 0);
  EXPECT_FALSE(log.contains("cannot listen"));
  // From its creation, new clients reach the new process; the old one keeps its own client.
  JsonClient new_client(port);
  EXPECT_EQ(who_answers(new_client), "new");
  EXPECT_EQ(who_answers(old_client), "old");
  // Both stand on one configuration meanwhile.
  EXPECT_EQ(new_client.request(R"({"set":{"in":{"gain":-20}}})"), (json{{"in", {{"gain", -20}}}}));
  EXPECT_EQ(old_client.request(R"({"get":null})")["in"]["gain"], -20);

  old_process.reset();
  // The old process's client is closed, once, and can connect again at once.
  EXPECT_TRUE(old_client.closed_by_peer());
  JsonClient again(port);
  EXPECT_EQ(who_answers(again), "new");
  EXPECT_EQ(who_answers(new_client), "new");
  EXPECT_EQ(new_client.request(R"({"get":null})")["in"]["gain"], -20);
}

TEST(Takeover, when_the_newer_process_goes_first_the_older_one_accepts_again) {
  TempDir dir;
  const int port = free_tcp_port();
  RunningProcess older(named("older", dir.path(), port));
  ASSERT_EQ(older.ready(), 0);
  {
    RunningProcess newer(named("newer", dir.path(), port));
    ASSERT_EQ(newer.ready(), 0);
    JsonClient client(port);
    EXPECT_EQ(who_answers(client), "newer");
  }
  JsonClient client(port);
  EXPECT_EQ(who_answers(client), "older");
  older.stop();
  // The last one gives the port up.
  EXPECT_FALSE(wait_for_tcp_port(port, std::chrono::milliseconds(100)));
}

// What is set at run time carries over whether or not it is written; the file is read only by
// the first process, and again once no process uses the configuration.
TEST(Takeover, the_new_process_starts_from_the_live_configuration_not_from_the_file) {
  const struct {
    const char* name;
    std::vector<std::pair<std::string, std::string>> parameters;
    bool storage;
    json reloaded;  // the gain a later first process finds
  } cases[] = {
      {"writable", {}, true, -20},
      {"state read-only", {{"STATE_RO", "1"}}, true, -6},
      {"storage read-only", {{"STORAGE_RO", "1"}}, true, -6},
      {"no storage directory", {}, false, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    TempDir dir;
    std::ofstream(dir.file("palvex.state")) << R"({"in":{"gain":-6}})"
                                            << "\n";
    const std::string storage = c.storage ? dir.path().string() : "";
    const int port = free_tcp_port();
    auto first = std::make_unique<RunningProcess>(named("first", storage, port, c.parameters));
    ASSERT_EQ(first->ready(), 0);
    {
      JsonClient client(port);
      EXPECT_EQ(client.request(R"({"get":null})")["in"]["gain"], c.storage ? -6 : 0);
      EXPECT_FALSE(client.request(R"({"set":{"in":{"gain":-20}}})").contains("error"));
    }
    RunningProcess second(named("second", storage, port, c.parameters, 128));
    ASSERT_EQ(second.ready(), 0);
    first.reset();
    JsonClient client(port);
    const json tree = client.request(R"({"get":null})");
    EXPECT_EQ(tree["in"]["gain"], -20);
    EXPECT_EQ(tree["metadata"]["who"], "second");

    // Its audio is at the live gain from its first chunk, without a ramp from the file's.
    Chunk chunk(128);
    ASSERT_EQ(palvex_ProcessAudio_Planar(second.get(), chunk.in, chunk.out), 0);
    for (int i = 0; i < 128; ++i) ASSERT_EQ(chunk.out_left[i], chunk.left[i] * linear(-20)) << i;

    second.stop();
    RunningProcess later(named("later", storage, port, c.parameters));
    ASSERT_EQ(later.ready(), 0);
    JsonClient later_client(port);
    EXPECT_EQ(later_client.request(R"({"get":null})")["in"]["gain"], c.reloaded);
  }
}

// Processes on other files have configurations of their own.
TEST(Takeover, other_state_files_keep_their_own_configuration) {
  TempDir dir;
  const int left_port = free_tcp_port(), right_port = free_tcp_port();
  RunningProcess left(named("left", dir.path(), left_port, {{"STATE_FILENAME", "left.state"}}));
  RunningProcess right(named("right", dir.path(), right_port, {{"STATE_FILENAME", "right.state"}}));
  ASSERT_EQ(left.ready(), 0);
  ASSERT_EQ(right.ready(), 0);
  JsonClient left_client(left_port), right_client(right_port);
  EXPECT_FALSE(left_client.request(R"({"set":{"in":{"gain":-20}}})").contains("error"));
  EXPECT_EQ(right_client.request(R"({"get":null})")["in"]["gain"], 0);
}

// The ports are this program's: another one that asks for them is refused as before.
TEST(Takeover, another_program_cannot_have_the_ports_this_one_serves) {
  const char* json_taken = ::getenv("PALVEX_TAKEN_JSON_PORT");
  const char* http_taken = ::getenv("PALVEX_TAKEN_HTTP_PORT");
  if (json_taken != nullptr && http_taken != nullptr) {
    EngineLogCapture log;
    RunningProcess intruder(named("intruder", "", std::atoi(json_taken)));
    EXPECT_EQ(intruder.ready(), -1);
    EXPECT_TRUE(log.contains("JSON control port " + std::string(json_taken) +
                             " cannot listen: Address already in use"));
    ASSERT_NE(intruder.get(), nullptr);
    const palvex_WebserverHandle web = palvex_Webserver(std::atoi(http_taken), 0, intruder.get());
    EXPECT_EQ(palvex_Webserver_Status(web), 0);
    EXPECT_TRUE(log.contains("Web server HTTP port " + std::string(http_taken) +
                             " cannot listen: Address already in use"));
    palvex_Webserver_Stop(web, 1000);
    return;
  }
  TempDir dir;
  const int json_port = free_tcp_port(), http_port = free_tcp_port();
  RunningProcess owner(named("owner", dir.path(), json_port));
  ASSERT_EQ(owner.ready(), 0);
  const palvex_WebserverHandle web = palvex_Webserver(http_port, 0, owner.get());
  ASSERT_EQ(palvex_Webserver_Status(web), 1);
  if (rerun_in_child({{"PALVEX_TAKEN_JSON_PORT", std::to_string(json_port)},
                      {"PALVEX_TAKEN_HTTP_PORT", std::to_string(http_port)}})) {
    ADD_FAILURE() << "the child run must take the branch above";
  }
  JsonClient client(json_port);
  EXPECT_EQ(who_answers(client), "owner");
  EXPECT_EQ(palvex_Webserver_Status(web), 1);
  EXPECT_EQ(palvex_Webserver_Stop(web, 1000), 0);
}

// A host whose log sink is slow: each line about a client closed to make room takes a while,
// so that a process with a full table accepts a burst of clients slowly.
void slow_log(int, const char* text) {
  if (std::strstr(text, "idle longest") != nullptr)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
}

// Once the newer process is ready, every client that connects reaches it: the older one, which
// may be in the middle of accepting a burst of clients, takes none of them.
TEST(Takeover, no_client_connecting_after_the_newer_process_is_ready_reaches_the_older_one) {
  using Clock = std::chrono::steady_clock;
  constexpr int kRounds = 10, kThreads = 4, kBurst = 8;
  TempDir dir;
  const int port = free_tcp_port();
  // Holds the port through all rounds, so that it is bound once.
  RunningProcess keeper(named("keeper", dir.path(), port));
  ASSERT_EQ(keeper.ready(), 0);
  palvex_SetLogSeverity(5);
  palvex_SetLoggerCallback(slow_log);
  int late_to_older = 0, late = 0;
  for (int round = 0; round < kRounds; ++round) {
    RunningProcess older(named("older", dir.path(), port));
    ASSERT_EQ(older.ready(), 0);
    std::vector<std::unique_ptr<JsonClient>> table;  // each newcomer makes room in it
    for (int i = 0; i < 64; ++i) table.push_back(std::make_unique<JsonClient>(port));
    ASSERT_EQ(who_answers(*table.back()), "older");
    std::atomic<bool> stop{false};
    std::mutex mutex;
    std::vector<std::pair<Clock::time_point, std::string>> connections;  // when begun, who
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&] {
        for (int bursts = 0; !stop && bursts < 20; ++bursts) {
          // Bursts keep a queue of clients waiting, so the older process is busy accepting.
          std::vector<std::pair<Clock::time_point, std::unique_ptr<JsonClient>>> burst;
          for (int i = 0; i < kBurst; ++i) {
            const auto begun = Clock::now();
            burst.emplace_back(begun, std::make_unique<JsonClient>(port));
          }
          for (auto& [begun, client] : burst) {
            const json who = who_answers(*client);
            std::lock_guard<std::mutex> lock(mutex);
            connections.emplace_back(begun, who.is_string() ? who.get<std::string>() : "none");
          }
        }
      });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    {
      RunningProcess newer(named("newer", dir.path(), port));
      const auto ready = Clock::now();
      ASSERT_EQ(newer.ready(), 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(30));
      stop = true;
      for (auto& thread : threads) thread.join();
      for (const auto& [begun, who] : connections) {
        if (begun <= ready) continue;
        ++late;
        if (who != "newer") ++late_to_older;
      }
    }
  }
  palvex_SetLoggerCallback(nullptr);
  palvex_SetLogSeverity(4);
  EXPECT_EQ(late_to_older, 0) << "of " << late << " clients that connected after it was ready";
  EXPECT_GT(late, 0);
}
