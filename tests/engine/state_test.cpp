// The state files in the storage directory: kept across a restart, read-only modes, corruption.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <functional>
#include <set>

#include "child_rerun.h"
#include "engine_fixture.h"
#include "process.h"
#include "temp_dir.h"

using nlohmann::json;
namespace fs = std::filesystem;

namespace {

std::set<std::string> files_in(const fs::path& dir) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(dir)) names.insert(entry.path().filename());
  return names;
}

// Starts a process on the directory, sets the gain when asked, reads the gain back.
json run_once(const std::string& dir, std::vector<std::pair<std::string, std::string>> parameters,
              const char* set_request = nullptr) {
  ProcessOptions options;
  options.storage_dir = dir;
  options.json_port = free_tcp_port();
  options.parameters = std::move(parameters);
  options.metadata = {{"station", "Radio One"}};
  RunningProcess process(options);
  EXPECT_EQ(process.ready(), 0);
  JsonClient client(options.json_port);
  if (set_request != nullptr) {
    EXPECT_FALSE(client.request(set_request).contains("error"));
  }
  return client.request(R"({"get":null})")["in"]["gain"];
}

}  // namespace

TEST(EngineState, gain_is_kept_across_a_restart) {
  TempDir dir;
  EXPECT_EQ(run_once(dir.path(), {}, R"({"set":{"in":{"gain":-12.5}}})"), -12.5);
  EXPECT_EQ(json::parse(read_file(dir.file("palvex.state"))),
            json::parse(R"({"in":{"gain":-12.5}})"));
  json onair = json::parse(read_file(dir.file("palvex.onair")));
  EXPECT_EQ(onair["in"]["gain"], -12.5);
  EXPECT_EQ(onair["metadata"], (json{{"station", "Radio One"}}));
  EXPECT_EQ(run_once(dir.path(), {}), -12.5);
  // Saved through a temporary file and a rename: nothing else is left behind.
  EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"palvex.state", "palvex.onair"}));
}

TEST(EngineState, file_names_come_from_the_parameters) {
  TempDir dir;
  const std::vector<std::pair<std::string, std::string>> names = {{"STATE_FILENAME", "left.state"},
                                                                  {"STATE_ONAIR", "left.onair"}};
  run_once(dir.path(), names, R"({"set":{"in":{"gain":-3}}})");
  run_once(dir.path(), {}, R"({"set":{"in":{"gain":-7}}})");  // another instance, same directory
  EXPECT_EQ(files_in(dir.path()),
            (std::set<std::string>{"left.state", "left.onair", "palvex.state", "palvex.onair"}));
  EXPECT_EQ(run_once(dir.path(), names), -3);
  EXPECT_EQ(run_once(dir.path(), {}), -7);
}

TEST(EngineState, state_read_only_reads_but_never_writes_the_state) {
  TempDir dir;
  write_file(dir.file("palvex.state"), "{\"in\":{\"gain\":-5}}\n");
  EXPECT_EQ(run_once(dir.path(), {{"STATE_RO", "1"}}, R"({"set":{"in":{"gain":-20}}})"), -20);
  EXPECT_EQ(read_file(dir.file("palvex.state")), "{\"in\":{\"gain\":-5}}\n");
  EXPECT_EQ(run_once(dir.path(), {{"STATE_RO", "1"}}), -5);
  // What is on air is still shown beside it.
  EXPECT_TRUE(fs::exists(dir.file("palvex.onair")));
}

TEST(EngineState, storage_read_only_writes_nothing_in_the_directory) {
  TempDir dir;
  write_file(dir.file("palvex.state"), "{\"in\":{\"gain\":-5}}\n");
  EXPECT_EQ(run_once(dir.path(), {{"STORAGE_RO", "1"}}, R"({"set":{"in":{"gain":-20}}})"), -20);
  EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"palvex.state"}));
  EXPECT_EQ(read_file(dir.file("palvex.state")), "{\"in\":{\"gain\":-5}}\n");
  EXPECT_EQ(run_once(dir.path(), {{"STORAGE_RO", "1"}}), -5);
}

TEST(EngineState, a_corrupt_file_is_kept_aside_and_defaults_used) {
  const char* contents[] = {"",
                            "not json",
                            "{\"in\":{\"gain\":",
                            "[]",
                            "{\"in\":{\"gain\":\"-5\"}}",
                            "{\"in\":{\"gain\":500}}",
                            "{\"out\":1}"};
  for (const char* content : contents) {
    TempDir dir;
    write_file(dir.file("palvex.state"), content);
    EngineLogCapture log;
    EXPECT_EQ(run_once(dir.path(), {}), 0) << content;
    EXPECT_TRUE(log.contains("is corrupt")) << content;
    std::string aside;
    for (const std::string& name : files_in(dir.path()))
      if (name.rfind("palvex.state.corrupt-", 0) == 0) aside = name;
    ASSERT_FALSE(aside.empty()) << content;
    EXPECT_EQ(read_file(dir.file(aside)), content);
    EXPECT_TRUE(log.contains("kept aside as " + dir.file(aside)));
    // A fresh state is saved after the next change, beside the kept copy.
    run_once(dir.path(), {}, R"({"set":{"in":{"gain":-2}}})");
    EXPECT_EQ(run_once(dir.path(), {}), -2);
    EXPECT_EQ(read_file(dir.file(aside)), content);
  }
}

TEST(EngineState, a_corrupt_file_stays_where_it_is_when_read_only) {
  for (const char* flag : {"STATE_RO", "STORAGE_RO"}) {
    TempDir dir;
    write_file(dir.file("palvex.state"), "not json");
    EngineLogCapture log;
    EXPECT_EQ(run_once(dir.path(), {{flag, "1"}}, R"({"set":{"in":{"gain":-2}}})"), -2) << flag;
    EXPECT_TRUE(log.contains("is corrupt")) << flag;
    EXPECT_EQ(read_file(dir.file("palvex.state")), "not json") << flag;
    EXPECT_EQ(files_in(dir.path()).count("palvex.state"), 1u);
  }
}

TEST(EngineState, a_state_file_that_cannot_be_read_is_never_overwritten) {
  TempDir dir;
  fs::create_directory(dir.path() / "palvex.state");  // root reads any file; a folder it cannot
  EngineLogCapture log;
  EXPECT_EQ(run_once(dir.path(), {}, R"({"set":{"in":{"gain":-2}}})"), -2);
  EXPECT_TRUE(log.contains("cannot be read"));
  EXPECT_TRUE(fs::is_directory(dir.path() / "palvex.state"));
}

// A state file must be a regular file of sane size: a FIFO would hold the start for ever and a
// device would be read without end. Such a file is left as it is and never overwritten.
TEST(EngineState, a_state_file_that_is_not_a_regular_file_of_sane_size_is_not_read) {
  struct Case {
    const char* name;
    std::function<void(const fs::path&)> make;
  };
  const std::string valid = "{\"in\":{\"gain\":-5}}";
  const Case cases[] = {
      {"fifo", [](const fs::path& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); }},
      {"symlink to a device", [](const fs::path& path) { fs::create_symlink("/dev/null", path); }},
      {"larger than 1 MiB",
       [&](const fs::path& path) { write_file(path, valid + std::string(1024 * 1024, ' ')); }},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const fs::path path = dir.path() / "palvex.state";
    c.make(path);
    const auto type = fs::symlink_status(path).type();
    const auto size = fs::is_regular_file(fs::symlink_status(path)) ? fs::file_size(path) : 0;
    // Should a start block on the FIFO, a writer that comes and goes releases it.
    std::atomic<bool> done{false};
    std::thread unblock([&] {
      for (int i = 0; i < 300 && !done; ++i) {
        int fd = open(path.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd >= 0) close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
    });
    EngineLogCapture log;
    EXPECT_EQ(run_once(dir.path(), {}, R"({"set":{"in":{"gain":-2}}})"), -2) << c.name;
    done = true;
    unblock.join();
    EXPECT_TRUE(log.contains("State file " + path.string() + " cannot be read")) << c.name;
    EXPECT_FALSE(log.contains("is corrupt")) << c.name;
    EXPECT_FALSE(log.contains("State loaded")) << c.name;
    EXPECT_EQ(fs::symlink_status(path).type(), type) << c.name;
    if (size != 0) {
      EXPECT_EQ(fs::file_size(path), size) << c.name;
    }
    EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"palvex.state", "palvex.onair"}))
        << c.name;
  }
}

TEST(EngineState, a_missing_directory_means_defaults) {
  TempDir dir;
  const std::string missing = dir.file("not-there");
  EngineLogCapture log;
  EXPECT_EQ(run_once(missing, {}, R"({"set":{"in":{"gain":-2}}})"), -2);
  EXPECT_TRUE(log.contains("Storage directory " + missing + " cannot be used"));
  // Each file's failure is said once, not on every change; one never hides the other.
  EXPECT_EQ(log.count("State cannot be saved"), 1);
  EXPECT_EQ(log.count("On-air view cannot be saved"), 1);
  EXPECT_FALSE(fs::exists(missing));
  EXPECT_EQ(run_once("", {}), 0);
}

TEST(EngineState, state_file_names_must_stay_in_the_directory) {
  TempDir dir;
  const std::pair<const char*, const char*> keys[] = {
      {"STATE_FILENAME", "State file name (STATE_FILENAME, -N) \""},
      {"STATE_ONAIR", "On-air file name (STATE_ONAIR, -O) \""}};
  for (const char* name : {"../escape", "/tmp/x", ".", "..", ""}) {
    for (const auto& [key, message] : keys) {
      EngineLogCapture log;
      palvex_Parameters set = palvex_NewParameters();
      palvex_SetParameter(set, key, name);
      EXPECT_EQ(palvex_InitProcess3(dir.path().c_str(), set, 64), nullptr) << key << "=" << name;
      palvex_FreeParameters(set);
      // The operator learns which of the two names is wrong.
      EXPECT_TRUE(log.contains(message + std::string(name) + "\" is not a plain file name"))
          << key << "=" << name;
    }
  }
  EXPECT_TRUE(files_in(dir.path()).empty());
}

// The on-air write would replace the saved state, which the next start would call corrupt.
TEST(EngineState, state_and_on_air_file_must_differ) {
  TempDir dir;
  write_file(dir.file("same"), "{\"in\":{\"gain\":-5}}\n");
  const std::vector<std::pair<std::string, std::string>> cases[] = {
      {{"STATE_FILENAME", "same"}, {"STATE_ONAIR", "same"}},
      {{"STATE_ONAIR", "palvex.state"}},
      {{"STATE_FILENAME", "palvex.onair"}},
  };
  for (const auto& parameters : cases) {
    EngineLogCapture log;
    palvex_Parameters set = palvex_NewParameters();
    for (const auto& [key, value] : parameters)
      palvex_SetParameter(set, key.c_str(), value.c_str());
    EXPECT_EQ(palvex_InitProcess3(dir.path().c_str(), set, 64), nullptr) << parameters[0].second;
    palvex_FreeParameters(set);
    EXPECT_TRUE(
        log.contains("State file (STATE_FILENAME, -N) and on-air file (STATE_ONAIR, -O) "
                     "are both"))
        << parameters[0].second;
  }
  EXPECT_EQ(files_in(dir.path()), (std::set<std::string>{"same"}));
  EXPECT_EQ(read_file(dir.file("same")), "{\"in\":{\"gain\":-5}}\n");
}

// A process killed while saving leaves its temporary file; the next start clears ours, and
// only ours: both hosts default to one folder, and another one may be writing right now.
TEST(EngineState, a_start_removes_only_the_temporary_files_a_killed_process_left) {
  struct Case {
    const char* name;
    const char* file;
    bool removed;
    bool held = false;  // a writer has it locked
  };
  const Case cases[] = {
      {"an empty one of the state file", "palvex.state.tmp-a1B2c3", true},
      {"a written one of the on-air file", "palvex.onair.tmp-Zz9Yy8", true},
      {"one a writer holds", "palvex.state.tmp-HELD01", false, true},
      {"another program's", "other.state.tmp-a1B2c3", false},
      {"not mkstemp's six letters", "palvex.state.tmp-abc", false},
      {"with more after the letters", "palvex.state.tmp-a1B2c3.keep", false},
      {"a folder of that name", "palvex.state.tmp-DIR000", false},
  };
  TempDir dir;
  std::vector<int> locks;
  for (const Case& c : cases) {
    const std::string path = dir.file(c.file);
    if (std::string(c.name) == "a folder of that name") {
      fs::create_directory(path);
      continue;
    }
    write_file(path, c.removed && std::string(c.name).find("empty") == std::string::npos
                         ? "{\"in\":{\"gain\":-1}}"
                         : "");
    if (c.held) {
      const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
      ASSERT_EQ(flock(fd, LOCK_EX), 0);
      locks.push_back(fd);
    }
  }
  EngineLogCapture log;
  EXPECT_EQ(run_once(dir.path(), {}), 0);
  for (const Case& c : cases)
    EXPECT_EQ(fs::exists(fs::symlink_status(dir.file(c.file))), !c.removed) << c.name;
  EXPECT_TRUE(log.contains("Removed 2 temporary files"));
  for (int fd : locks) close(fd);
}

TEST(EngineState, no_copy_of_a_corrupt_file_replaces_another) {
  const std::vector<std::string> contents = {"first corrupt", "second corrupt", "third corrupt"};
  // All three within one second, which the copies' names show no finer.
  for (int attempt = 0; attempt < 5; ++attempt) {
    TempDir dir;
    const std::time_t before = std::time(nullptr);
    for (const std::string& content : contents) {
      write_file(dir.file("palvex.state"), content);
      run_once(dir.path(), {});
    }
    if (std::time(nullptr) != before) continue;
    std::set<std::string> kept;
    for (const std::string& name : files_in(dir.path()))
      if (name.rfind("palvex.state.corrupt-", 0) == 0) kept.insert(read_file(dir.file(name)));
    EXPECT_EQ(kept, std::set<std::string>(contents.begin(), contents.end()));
    return;
  }
  FAIL() << "three starts never fitted in one second";
}

// PipeWire's data thread can run SCHED_FIFO, and so can the threads made from it: the disk's
// waits must not run at real-time priority. The writer starts once per program, so in a fresh
// one.
TEST(EngineState, the_files_are_written_at_normal_priority_whatever_thread_sets) {
  if (!rerun_in_child({})) return;
  TempDir dir;
  bool real_time = false;
  std::thread fifo([&] {
    sched_param param{};
    param.sched_priority = 10;
    real_time = pthread_setschedparam(pthread_self(), SCHED_FIFO, &param) == 0;
    if (real_time) run_once(dir.path(), {}, R"({"set":{"in":{"gain":-4}}})");
  });
  fifo.join();
  ASSERT_TRUE(real_time) << "this test needs the right to SCHED_FIFO (root or RLIMIT_RTPRIO)";
  int writers = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    if (read_file(task.path() / "comm") != "palvex-writer\n") continue;
    ++writers;
    EXPECT_EQ(sched_getscheduler(std::stoi(task.path().filename())), SCHED_OTHER);
  }
  EXPECT_EQ(writers, 1);
  // The release on the real-time thread waited for nothing; the write comes all the same.
  for (int i = 0; i < 100 && !fs::exists(dir.file("palvex.state")); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(json::parse(read_file(dir.file("palvex.state"))), (json{{"in", {{"gain", -4}}}}));
}
