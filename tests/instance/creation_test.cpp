// Creation of a processing instance: the engine calls in order, and each failure's teardown.
#include <new>
#include <ostream>
#include <string>
#include <vector>

#include "instance_fixture.h"

namespace {

using InstanceCreation = InstanceTest;

using Lines = std::vector<std::string>;

TEST_F(InstanceCreation, creation_sets_parameters_then_metadata_then_starts_the_update_thread) {
  if (!rerun_in_child({})) return;
  HostConfig config;
  config.state_filename = "a.st";
  config.onair_filename = "b.air";
  config.storage_ro = true;
  config.state_ro = true;
  config.params = {{"STATE_FILENAME", "override"}, {"K", "v=w"}};  // after the fixed keys
  config.metas = {{"m1", "x"}, {"m2", "y"}};
  config.state_dir = "/tmp/states";
  config.json_port = 5123;

  auto instance = create_processing_instance(config, 128);
  ASSERT_NE(instance, nullptr);
  const Lines trace = engine_trace.take();
  EXPECT_EQ(main_thread_calls(trace),
            (Lines{
                "palvex_GetPossibleChunkSizeInFrames",
                "palvex_NewParameters",
                "palvex_SetParameter set1 \"STATE_FILENAME\" \"a.st\"",
                "palvex_SetParameter set1 \"STATE_ONAIR\" \"b.air\"",
                "palvex_SetParameter set1 \"STORAGE_RO\" \"1\"",
                "palvex_SetParameter set1 \"STATE_RO\" \"1\"",
                "palvex_SetParameter set1 \"STATE_FILENAME\" \"override\"",
                "palvex_SetParameter set1 \"K\" \"v=w\"",
                "palvex_InitProcess3 \"/tmp/states\" set1 128",
                "palvex_SetMetadata proc1 \"m1\" \"x\"",
                "palvex_SetMetadata proc1 \"m2\" \"y\"",
                "palvex_WaitUpdateThreadReady proc1 5000",
            }));
  // The update thread starts only once the metadata is in.
  const long started = index_of(trace, "palvex_StartUpdateThread proc1 5123");
  EXPECT_GT(started, index_of(trace, "palvex_SetMetadata proc1 \"m2\" \"y\""));

  EXPECT_EQ(lines_at(7), (std::vector<LoggedLine>{{7, "Adding parameter STATE_FILENAME=override"},
                                                  {7, "Adding parameter K=v=w"},
                                                  {7, "Adding metadata m1=x"},
                                                  {7, "Adding metadata m2=y"}}));
  EXPECT_TRUE(lines_at(1).empty());
  EXPECT_NE(instance->process, nullptr);
  EXPECT_TRUE(instance->update_thread.joinable());
  EXPECT_TRUE(instance->pending_metadata.empty());
  EXPECT_EQ(instance->webserver, PALVEX_NO_WEBSERVER);
}

TEST_F(InstanceCreation, no_optional_settings_means_no_parameters_no_metadata_and_no_web_server) {
  if (!rerun_in_child({})) return;
  auto instance = create_processing_instance(HostConfig{}, 0);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(main_thread_calls(engine_trace.take()), (Lines{
                                                        "palvex_NewParameters",
                                                        "palvex_InitProcess3 \"\" set1 64",
                                                        "palvex_WaitUpdateThreadReady proc1 5000",
                                                    }));
  EXPECT_EQ(sink.lines(), (std::vector<LoggedLine>{{4, "Using default frames per chunk=64"}}));
}

TEST_F(InstanceCreation, pairs_are_named_in_the_log_only_from_level_7) {
  if (!rerun_in_child({})) return;
  HostConfig config;
  config.params = {{"K", "v"}};
  config.metas = {{"m", "x"}};
  logger.logger().level = 6;
  auto instance = create_processing_instance(config, 0);
  ASSERT_NE(instance, nullptr);
  EXPECT_EQ(sink.lines(), (std::vector<LoggedLine>{{4, "Using default frames per chunk=64"}}));
  // Set all the same.
  EXPECT_GE(index_of(engine_trace.take(), "palvex_SetParameter set1 \"K\" \"v\""), 0);
}

TEST_F(InstanceCreation, metadata_added_to_a_running_process_goes_straight_to_the_engine) {
  if (!rerun_in_child({})) return;
  auto instance = create_processing_instance(HostConfig{}, 64);
  ASSERT_NE(instance, nullptr);
  engine_trace.mark();
  instance->add_metadata("late", "1");
  EXPECT_EQ(engine_trace.take(), (Lines{"palvex_SetMetadata proc1 \"late\" \"1\""}));
  EXPECT_TRUE(instance->pending_metadata.empty());
}

struct WebCase {
  const char* name;
  uint32_t http_port;
  uint32_t https_port;
  uint16_t json_port;
  const char* webserver_call;
};

const WebCase web_cases[] = {
    {"HttpOnly", 8080, 0, 0, "palvex_Webserver 8080 0 proc1"},
    {"HttpsOnly", 0, 8443, 5010, "palvex_Webserver 0 8443 proc1"},
    {"Both", 8080, 8443, 6000, "palvex_Webserver 8080 8443 proc1"},
};

void PrintTo(const WebCase& c, std::ostream* out) { *out << c.name; }

class WebServerStart : public InstanceTest, public testing::WithParamInterface<WebCase> {};

TEST_P(WebServerStart, starts_after_the_ready_wait_and_checks_each_configured_port) {
  if (!rerun_in_child({})) return;
  HostConfig config;
  config.http_port = GetParam().http_port;
  config.https_port = GetParam().https_port;
  config.json_port = GetParam().json_port;
  auto instance = create_processing_instance(config, 64);
  ASSERT_NE(instance, nullptr);
  const Lines trace = engine_trace.take();
  EXPECT_EQ(main_thread_calls(trace), (Lines{
                                          "palvex_GetPossibleChunkSizeInFrames",
                                          "palvex_NewParameters",
                                          "palvex_InitProcess3 \"\" set1 64",
                                          "palvex_WaitUpdateThreadReady proc1 5000",
                                          GetParam().webserver_call,
                                          "palvex_Webserver_Status web1",
                                      }));
  // A JSON port of 0 reaches the engine as it is.
  EXPECT_GE(
      index_of(trace, "palvex_StartUpdateThread proc1 " + std::to_string(GetParam().json_port)), 0);
  EXPECT_NE(instance->webserver, PALVEX_NO_WEBSERVER);
  EXPECT_TRUE(lines_at(1).empty());
}

INSTANTIATE_TEST_SUITE_P(Ports, WebServerStart, testing::ValuesIn(web_cases),
                         [](const auto& info) { return std::string(info.param.name); });

const char* const process_error = "Error creating the process, aborting";
const char* const web_error = "Error starting web server, aborting";

struct FailureCase {
  const char* name;
  EnvChanges env;
  uint32_t http_port;
  uint32_t https_port;
  const char* fatal_text;
  Lines calls;  // every call on the creating thread, teardown included
  bool thread_started;
};

const Lines before_process = {"palvex_GetPossibleChunkSizeInFrames", "palvex_NewParameters",
                              "palvex_InitProcess3 \"\" set1 64"};

Lines with_prefix(Lines tail, bool metadata_sent = true) {
  Lines all = before_process;
  if (metadata_sent) all.push_back("palvex_SetMetadata proc1 \"m\" \"1\"");
  all.insert(all.end(), tail.begin(), tail.end());
  return all;
}

const FailureCase failure_cases[] = {
    {"ProcessNotCreated",
     {{"PALVEX_FAKE_FAIL", "InitProcess3"}},
     8080,
     0,
     process_error,
     with_prefix({"palvex_FreeParameters set1"}, false),
     false},
    {"UpdateThreadNotReady",
     {{"PALVEX_FAKE_READY", "-1"}},
     8080,
     0,
     process_error,
     with_prefix({"palvex_WaitUpdateThreadReady proc1 5000", "palvex_StopUpdateThread proc1",
                  "palvex_ExitProcess proc1", "palvex_FreeParameters set1"}),
     true},
    {"WebServerNotCreated",
     {{"PALVEX_FAKE_FAIL", "Webserver"}},
     8080,
     0,
     web_error,
     with_prefix({"palvex_WaitUpdateThreadReady proc1 5000", "palvex_Webserver 8080 0 proc1",
                  "palvex_StopUpdateThread proc1", "palvex_ExitProcess proc1",
                  "palvex_FreeParameters set1"}),
     true},
    {"HttpNotListening",
     {{"PALVEX_FAKE_WEB_STATUS", "2"}},
     8080,
     0,
     web_error,
     with_prefix({"palvex_WaitUpdateThreadReady proc1 5000", "palvex_Webserver 8080 0 proc1",
                  "palvex_Webserver_Status web1", "palvex_Webserver_Stop web1 1000",
                  "palvex_StopUpdateThread proc1", "palvex_ExitProcess proc1",
                  "palvex_FreeParameters set1"}),
     true},
    {"HttpsNotListening",
     {{"PALVEX_FAKE_WEB_STATUS", "1"}},
     8080,
     8443,
     web_error,
     with_prefix({"palvex_WaitUpdateThreadReady proc1 5000", "palvex_Webserver 8080 8443 proc1",
                  "palvex_Webserver_Status web1", "palvex_Webserver_Stop web1 1000",
                  "palvex_StopUpdateThread proc1", "palvex_ExitProcess proc1",
                  "palvex_FreeParameters set1"}),
     true},
};

void PrintTo(const FailureCase& c, std::ostream* out) { *out << c.name; }

class CreationFailure : public InstanceTest, public testing::WithParamInterface<FailureCase> {};

TEST_P(CreationFailure, logs_one_fatal_line_undoes_what_was_built_and_gives_no_instance) {
  if (!rerun_in_child(GetParam().env)) return;
  HostConfig config;
  config.metas = {{"m", "1"}};
  config.http_port = GetParam().http_port;
  config.https_port = GetParam().https_port;

  EXPECT_EQ(create_processing_instance(config, 64), nullptr);
  const Lines trace = engine_trace.take();
  EXPECT_EQ(main_thread_calls(trace), GetParam().calls);
  EXPECT_EQ(calls_of(trace, {"palvex_StartUpdateThread"}).size(),
            GetParam().thread_started ? 1u : 0u);
  EXPECT_EQ(lines_at(1), (std::vector<LoggedLine>{{1, GetParam().fatal_text}}));
}

INSTANTIATE_TEST_SUITE_P(Table, CreationFailure, testing::ValuesIn(failure_cases),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(InstanceCreation, no_parameter_set_throws_bad_alloc_before_anything_else) {
  if (!rerun_in_child({{"PALVEX_FAKE_FAIL", "NewParameters"}})) return;
  EXPECT_THROW(create_processing_instance(HostConfig{}, 64), std::bad_alloc);
  EXPECT_EQ(engine_trace.take(),
            (Lines{"palvex_GetPossibleChunkSizeInFrames", "palvex_NewParameters"}));
  EXPECT_TRUE(lines_at(1).empty());
}

}  // namespace
