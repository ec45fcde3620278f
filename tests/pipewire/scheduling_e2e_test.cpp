// The scheduling of palvex-pipewire's threads, read from outside the process on a private
// daemon: the data thread, which runs the engine, at real-time priority where the system grants
// it; every thread it starts when it replaces the instance (update thread, web server, and what
// those start) at normal priority, as a thread that can block must be.
#include <gtest/gtest.h>
#include <httplib.h>
#include <sched.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "audio_probe.h"
#include "host_node.h"

namespace {

using namespace std::chrono_literals;

struct TaskScheduling {
  std::string tid;
  std::string name;
  int policy = -1;  // SCHED_OTHER, SCHED_FIFO, ...
  int priority = 0;
};

bool realtime(int policy) { return policy == SCHED_FIFO || policy == SCHED_RR; }

// From /proc/PID/task/TID/stat: the name, the real-time priority (field 40) and the policy (41).
std::vector<TaskScheduling> scheduling_of(int pid) {
  std::vector<TaskScheduling> tasks;
  const std::filesystem::path dir = "/proc/" + std::to_string(pid) + "/task";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    std::ifstream file(entry.path() / "stat");
    std::string line;
    if (!std::getline(file, line)) continue;
    const size_t open = line.find('(');
    const size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos) continue;
    TaskScheduling task;
    task.tid = entry.path().filename().string();
    task.name = line.substr(open + 1, close - open - 1);
    std::istringstream fields(line.substr(close + 2));
    std::vector<std::string> values{std::istream_iterator<std::string>(fields), {}};
    // values[0] is field 3, the state.
    if (values.size() < 39) continue;
    task.priority = std::stoi(values[37]);
    task.policy = std::stoi(values[38]);
    tasks.push_back(task);
  }
  return tasks;
}

std::string describe(const std::vector<TaskScheduling>& tasks) {
  std::string text;
  for (const TaskScheduling& task : tasks)
    text += task.tid + " " + task.name + " policy " + std::to_string(task.policy) + " priority " +
            std::to_string(task.priority) + "\n";
  return text;
}

bool listed(const std::vector<TaskScheduling>& tasks, const std::string& tid) {
  for (const TaskScheduling& task : tasks)
    if (task.tid == tid) return true;
  return false;
}

TEST(ThreadScheduling, the_data_thread_runs_real_time_and_the_threads_it_starts_do_not) {
  const bool allowed = realtime_granted();
  PipeWireServer server;
  ASSERT_TRUE(server.ready()) << server.log();
  ASSERT_TRUE(server.force_quantum(256));
  server.use_in_this_process();
  AudioProbe probe;
  ASSERT_TRUE(probe.ready());
  const int web_port = free_tcp_port();
  HostRun host(server, {"-w", std::to_string(web_port), "-v"}, {}, Engine::stand_in);
  const std::optional<GraphNode> palvex = wait_for_host_node(host, server);
  ASSERT_TRUE(palvex) << host.diagnostics();

  // Before its first cycle the host has made no instance: its threads are main's, the log
  // printer's and PipeWire's, the data thread among them.
  const std::vector<TaskScheduling> before = scheduling_of(host.process().pid());
  ASSERT_FALSE(wait_for_tcp_port(host.json_port(), 0ms)) << "an instance before any cycle";
  const std::string main_tid = std::to_string(host.process().pid());
  std::vector<TaskScheduling> realtime_before;
  for (const TaskScheduling& task : before)
    if (realtime(task.policy)) realtime_before.push_back(task);
  if (!allowed && realtime_before.empty())
    GTEST_SKIP() << "this system grants no real-time priority here (no RLIMIT_RTPRIO, and no "
                    "rtkit gave it):\n"
                 << describe(before);
  ASSERT_EQ(realtime_before.size(), 1u) << "not one data thread at real-time priority:\n"
                                        << describe(before);
  EXPECT_NE(realtime_before[0].tid, main_tid) << describe(before);
  EXPECT_NE(realtime_before[0].name, "palvex-log") << describe(before);

  // The data thread makes the first instance, then on a new quantum its replacement, each
  // with an update thread and a web server, and the web server a thread for a connection.
  ASSERT_TRUE(link_probe_through(server, *palvex, true));
  ASSERT_TRUE(host.wait_for_json_port()) << host.diagnostics();
  ASSERT_TRUE(server.force_quantum(1024));
  ASSERT_TRUE(host.process().wait_for_stderr("INFO  Process frames = 1024\n", 10s))
      << host.diagnostics();
  ASSERT_TRUE(host.wait_for_json_port()) << host.diagnostics();
  httplib::Client web("127.0.0.1", web_port);
  web.set_connection_timeout(5);
  EXPECT_TRUE(web.Get("/")) << host.diagnostics();

  const std::vector<TaskScheduling> after = scheduling_of(host.process().pid());
  size_t started = 0;
  for (const TaskScheduling& task : after) {
    if (task.tid == realtime_before[0].tid) {
      EXPECT_TRUE(realtime(task.policy)) << "the data thread lost its priority:\n"
                                         << describe(after);
      continue;
    }
    EXPECT_FALSE(realtime(task.policy)) << "thread " << task.tid << " runs at real-time priority:\n"
                                        << describe(after);
    if (!listed(before, task.tid)) ++started;
  }
  // At least the update thread and the web server's listener.
  EXPECT_GE(started, 2u) << describe(after);
}

}  // namespace
