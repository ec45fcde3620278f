// How palvex-webfront ends: on SIGINT or SIGTERM, with the web server's stop result as status.
#include <gtest/gtest.h>
#include <signal.h>

#include <thread>

#include "webfront_run.h"

namespace {

// Bounds the one-second wait steps with room for a loaded machine; a wait that ignored the
// flag would never end.
constexpr std::chrono::milliseconds stop_bound{3000};

struct SignalCase {
  const char* name;
  int signal_number;
};

std::ostream& operator<<(std::ostream& out, const SignalCase& c) { return out << c.name; }

class WebfrontSignal : public testing::TestWithParam<SignalCase> {};

TEST_P(WebfrontSignal, ends_the_wait_and_stops_the_web_server) {
  FakeWebfront webfront(EnvChanges{{"PALVEX_FAKE_STOP_RESULT", "3"}});
  ASSERT_TRUE(webfront.start({}));
  ASSERT_TRUE(webfront.stop(GetParam().signal_number, stop_bound));
  const ProcessResult& result = webfront.child().result();
  EXPECT_TRUE(result.exited) << "ended by signal " << result.signal;
  EXPECT_EQ(result.status, 3);
  ASSERT_FALSE(webfront.trace().empty());
  EXPECT_EQ(webfront.trace().back(), "palvex_Webserver_Stop web1 5000");
}

INSTANTIATE_TEST_SUITE_P(StopSignals, WebfrontSignal,
                         testing::Values(SignalCase{"SIGINT", SIGINT},
                                         SignalCase{"SIGTERM", SIGTERM}),
                         [](const testing::TestParamInfo<SignalCase>& info) {
                           return std::string(info.param.name);
                         });

TEST(WebfrontSignal, other_signals_keep_their_default_action) {
  FakeWebfront webfront;
  ASSERT_TRUE(webfront.start({}));
  ASSERT_TRUE(webfront.stop(SIGHUP));
  const ProcessResult& result = webfront.child().result();
  EXPECT_FALSE(result.exited);
  EXPECT_EQ(result.signal, SIGHUP);
  EXPECT_EQ(webfront.trace().back(), "palvex_Webserver_Status web1");
}

struct StopResultCase {
  const char* name;
  const char* stop_result;
  int status;
};

std::ostream& operator<<(std::ostream& out, const StopResultCase& c) { return out << c.name; }

class WebfrontStopResult : public testing::TestWithParam<StopResultCase> {};

// The parent sees 8 bits of the result; a non-zero result never turns into success there.
TEST_P(WebfrontStopResult, becomes_the_exit_status) {
  const StopResultCase& c = GetParam();
  FakeWebfront webfront(EnvChanges{{"PALVEX_FAKE_STOP_RESULT", c.stop_result}});
  ASSERT_TRUE(webfront.start({}));
  ASSERT_TRUE(webfront.stop(SIGINT, stop_bound));
  const ProcessResult& result = webfront.child().result();
  ASSERT_TRUE(result.exited) << "ended by signal " << result.signal;
  EXPECT_EQ(result.status, c.status);
}

INSTANTIATE_TEST_SUITE_P(Results, WebfrontStopResult,
                         testing::Values(StopResultCase{"zero", "0", 0},
                                         StopResultCase{"small", "7", 7},
                                         StopResultCase{"all_low_bits", "255", 255},
                                         StopResultCase{"negative", "-1", 255},
                                         StopResultCase{"low_bits_kept", "257", 1},
                                         StopResultCase{"multiple_of_256", "256", 1},
                                         StopResultCase{"negative_multiple_of_256", "-512", 1}),
                         [](const testing::TestParamInfo<StopResultCase>& info) {
                           return std::string(info.param.name);
                         });

// The engine's results are handed on untested; only the stop result reaches the outside.
TEST(WebfrontEngineFailures, a_web_server_that_did_not_start_is_still_stopped) {
  FakeWebfront webfront(
      EnvChanges{{"PALVEX_FAKE_FAIL", "Webserver_tcp2"}, {"PALVEX_FAKE_STOP_RESULT", "9"}});
  ASSERT_TRUE(webfront.start({"-w", "81"}));
  ASSERT_TRUE(webfront.stop(SIGTERM, stop_bound));
  const std::vector<std::string> expected{
      "palvex_NewParameters", "palvex_Webserver_tcp2 81 8443 \"palvex-host\" 5010 set1",
      "palvex_FreeParameters set1", "palvex_Webserver_Status none",
      "palvex_Webserver_Stop none 5000"};
  EXPECT_EQ(webfront.trace(), expected);
  EXPECT_EQ(webfront.child().result().status, 9);
}

TEST(WebfrontEngineFailures, a_missing_parameter_set_is_passed_on) {
  FakeWebfront webfront(EnvChanges{{"PALVEX_FAKE_FAIL", "NewParameters"}});
  ASSERT_TRUE(webfront.start({"-a", "k=v"}));
  ASSERT_TRUE(webfront.stop(SIGTERM, stop_bound));
  const std::vector<std::string> expected{
      "palvex_NewParameters",
      "palvex_SetParameter null \"k\" \"v\"",
      "palvex_Webserver_tcp2 8080 8443 \"palvex-host\" 5010 null",
      "palvex_FreeParameters null",
      "palvex_Webserver_Status web1",
      "palvex_Webserver_Stop web1 5000"};
  EXPECT_EQ(webfront.trace(), expected);
  EXPECT_EQ(webfront.child().result().status, 0);
}

TEST(WebfrontEngineFailures, web_ports_that_do_not_listen_do_not_stop_it) {
  FakeWebfront webfront(EnvChanges{{"PALVEX_FAKE_WEB_STATUS", "0"}});
  ASSERT_TRUE(webfront.start({}));
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_TRUE(webfront.child().running()) << "it waits for a signal";
  ASSERT_TRUE(webfront.stop(SIGTERM, stop_bound));
  EXPECT_EQ(webfront.child().result().status, 0);
}

}  // namespace
