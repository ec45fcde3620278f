// Steps of the start-up sequence that only a created instance shows, and the shutdown skeleton.
#include <fcntl.h>
#include <getopt.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "engine_trace.h"
#include "host_startup.h"
#include "jack_description.h"
#include "log_capture.h"
#include "option_values.h"
#include "signals.h"

TraceFile engine_trace;

namespace {

using Lines = std::vector<std::string>;

struct PortCase {
  uint16_t json;
  uint32_t http;
  uint32_t https;
  uint16_t json_after;
};

const PortCase port_cases[] = {
    {0, 0, 0, 5010},                      // nothing configured, or an explicit -j 0
    {7000, 0, 0, 7000}, {0, 8080, 0, 0},  // a web port set: the JSON port stays off
    {0, 0, 8443, 0},    {6000, 8080, 8443, 6000},
};

TEST(StartupSteps, json_port_defaults_to_5010_only_when_no_port_is_set) {
  for (const PortCase& c : port_cases) {
    HostConfig config;
    config.json_port = c.json;
    config.http_port = c.http;
    config.https_port = c.https;
    apply_json_port_default(config);
    EXPECT_EQ(config.json_port, c.json_after) << c.json << " " << c.http << " " << c.https;
    EXPECT_EQ(config.http_port, c.http);
    EXPECT_EQ(config.https_port, c.https);
  }
}

TEST(StartupSteps, the_factory_gives_the_engine_the_defaulted_json_port) {
  RecordingSink sink;
  ScopedMainLogger logger(4, sink);
  HostConfig config;
  apply_json_port_default(config);
  InstanceFactory factory = make_instance_factory(config);
  config.json_port = 1;  // the factory holds its own copy

  engine_trace.mark();
  auto instance = factory(64);
  ASSERT_NE(instance, nullptr);
  instance.reset();
  const Lines calls = calls_of(engine_trace.take(), {"palvex_StartUpdateThread"});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].substr(calls[0].rfind(' ')), " 5010");
}

// The settings hold the record the factory copies: what the options set is what the engine gets.
TEST(StartupSteps, every_option_reaches_the_engine_through_the_factory) {
  RecordingSink sink;
  ScopedMainLogger logger(4, sink);
  for (const char* name : {"STATE_DIR", "PROC_PORT", "HTTP_PORT", "HTTPS_PORT", "PROC_VERB"})
    unsetenv(name);
  std::vector<std::string> args = {
      "palvex-jack",     "-N", "s.st", "-O", "o.air", "-R", "-r",  "-a", "A=1", "-m", "M=3", "-D",
      "/var/lib/palvex", "-j", "6001", "-w", "8081",  "-s", "8444"};
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  optind = 0;
  HostSettings settings;
  ASSERT_EQ(
      read_host_options(static_cast<int>(args.size()), argv.data(), jack_description, settings),
      options_go_on);

  engine_trace.mark();
  auto instance = make_instance_factory(settings.config)(64);
  ASSERT_NE(instance, nullptr);
  instance.reset();
  // Handles are numbered per process; only the values count here.
  Lines calls;
  for (const std::string& line : calls_of(
           engine_trace.take(), {"palvex_SetParameter", "palvex_InitProcess3", "palvex_SetMetadata",
                                 "palvex_StartUpdateThread", "palvex_Webserver"}))
    calls.push_back(std::regex_replace(line, std::regex(" (set|proc|web)[0-9]+"), ""));
  EXPECT_EQ(calls, (Lines{
                       "palvex_SetParameter \"STATE_FILENAME\" \"s.st\"",
                       "palvex_SetParameter \"STATE_ONAIR\" \"o.air\"",
                       "palvex_SetParameter \"STORAGE_RO\" \"1\"",
                       "palvex_SetParameter \"STATE_RO\" \"1\"",
                       "palvex_SetParameter \"A\" \"1\"",
                       "palvex_InitProcess3 \"/var/lib/palvex\" 64",
                       "palvex_SetMetadata \"M\" \"3\"",
                       "palvex_StartUpdateThread 6001",
                       "palvex_Webserver 8081 8444",
                   }));
}

// Writes each record to stderr as the console would, for the death-test matcher.
class StderrSink : public LogSink {
public:
  void write(const LogRecord& record) override {
    std::string line = format_log_line(record);
    if (line.empty() || line.back() != '\n') line += '\n';
    std::fputs(line.c_str(), stderr);
  }
};

// Marks a step of the host in the engine trace, so its place among the engine calls shows.
void mark_in_trace(const std::string& text) {
  const int fd = ::open(engine_trace.path().c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
  const std::string line = text + "\n";
  if (fd >= 0) {
    if (::write(fd, line.data(), line.size()) < 0) std::perror("trace");
    ::close(fd);
  }
}

struct ShutdownCase {
  const char* name;
  int logger_level;
  int shutdown_level;
  bool with_instance;
  int exit_status;         // 1 when the host's set-up failed with an exception
  bool last_cycle_record;  // the audio side queues a real-time record as it is closed
  const char* stderr_pattern;
  Lines engine_calls;  // teardown calls between the sound-server close and the exit
};

const ShutdownCase shutdown_cases[] = {
    {"JackLevelWithInstance",
     9,
     9,
     true,
     0,
     false,
     "VERB5 MAIN stopping\n.*VERB5 MAIN exiting now\n$",
     {"close_sound_server stop_requested=1", "palvex_Webserver_Stop", "palvex_StopUpdateThread",
      "palvex_ExitProcess"}},
    {"PipeWireLevelWithoutInstance",
     5,
     5,
     false,
     0,
     false,
     "VERB  MAIN stopping\n.*VERB  MAIN exiting now\n$",
     {"close_sound_server stop_requested=1"}},
    {"FailedSetUp",
     9,
     9,
     false,
     1,
     false,
     "VERB5 MAIN stopping\n.*VERB5 MAIN exiting now\n$",
     {"close_sound_server stop_requested=1"}},
    {"BelowTheShutdownLevel",
     3,
     9,
     true,
     0,
     false,
     "^$",
     {"close_sound_server stop_requested=1", "palvex_Webserver_Stop", "palvex_StopUpdateThread",
      "palvex_ExitProcess"}},
    {"RecordOfTheLastCycleBeforeTheLastLine",
     5,
     5,
     false,
     0,
     true,
     "VERB  MAIN stopping\n.*WARN  Invalid instance\n.*VERB  MAIN exiting now\n$",
     {"close_sound_server stop_requested=1"}},
};

// Runs the skeleton as a host at the end of its run would, in the death-test child.
[[noreturn]] void shut_down_as(const ShutdownCase& c) {
  log_bootstrap();  // the real-time logger, its queue and, below, its printer
  StderrSink sink;
  ScopedMainLogger logger(c.logger_level, sink);
  if (rt_logger != nullptr) rt_logger->level = c.logger_level;
  start_log_queue_printer();
  HostConfig config;
  config.http_port = 8080;
  std::shared_ptr<ProcessingInstance> instance;
  if (c.with_instance) instance = create_processing_instance(config, 64);
  mark_in_trace("shutdown starts");
  auto close_sound_server = [&c] {
    mark_in_trace("close_sound_server stop_requested=" + std::to_string(stop_requested.load()));
    if (c.last_cycle_record) PALVEX_LOG(rt_logger, 3, "Invalid instance");
  };
  HostDescription host = jack_description;
  host.shutdown_level = c.shutdown_level;
  run_shutdown(host, close_sound_server, instance, c.exit_status);
}

void PrintTo(const ShutdownCase& c, std::ostream* out) { *out << c.name; }

class Shutdown : public testing::TestWithParam<ShutdownCase> {};

TEST_P(Shutdown, logs_closes_the_server_stops_the_instance_and_exits) {
  GTEST_FLAG_SET(death_test_style, "fast");  // the child shares this process's trace file
  engine_trace.mark();
  EXPECT_EXIT(shut_down_as(GetParam()), testing::ExitedWithCode(GetParam().exit_status),
              GetParam().stderr_pattern);

  const Lines trace = engine_trace.take();
  Lines steps;
  for (auto line = std::find(trace.begin(), trace.end(), "shutdown starts"); line != trace.end();
       ++line) {
    if (*line == "shutdown starts") continue;
    if (line->rfind("palvex_Webserver_Stop ", 0) == 0) {
      EXPECT_EQ(line->substr(line->rfind(' ')), " 1000");
    }
    steps.push_back(line->rfind("palvex_", 0) == 0 ? line->substr(0, line->find(' ')) : *line);
  }
  // exit(0) does not release the instance object: no palvex_FreeParameters.
  EXPECT_EQ(steps, GetParam().engine_calls);
}

INSTANTIATE_TEST_SUITE_P(Hosts, Shutdown, testing::ValuesIn(shutdown_cases),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
