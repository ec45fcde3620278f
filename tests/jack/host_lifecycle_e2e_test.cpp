// palvex-jack on a real jackd: its ports and their wiring, stop signals, a server that goes
// away, and a start that failed: no server at all, a port taken, a failed or aborted set-up.
#include <signal.h>

#include <gtest/gtest.h>

#include <ostream>
#include <thread>

#include "engine_trace.h"
#include "host_run.h"
#include "jack_probe.h"
#include "taken_port.h"

namespace {

using namespace std::chrono_literals;
using Names = std::vector<std::string>;

const char* const audio_type = "32 bit float mono audio";

struct WiringCase {
  const char* name;
  unsigned capture, playback;
  Names args;
  std::string client;
  std::vector<Names> connections;  // of in_1, in_2, out_1, out_2
  std::vector<std::string> errors;
};

void PrintTo(const WiringCase& c, std::ostream* out) { *out << c.name; }

class PortsOnServer : public ::testing::TestWithParam<WiringCase> {};

TEST_P(PortsOnServer, registers_four_audio_ports_and_wires_them_unless_in_a_session) {
  const WiringCase& c = GetParam();
  START_JACK_SERVER(server, 256, c.capture, c.playback);
  JackProbe probe("probe", JackProbe::observer);
  ASSERT_TRUE(probe.open());
  HostRun host(server, c.args);
  const size_t out_2_connections = c.connections[3].size();
  ASSERT_TRUE(wait_until_up(probe, out_2_connections, c.client)) << host.diagnostics();
  std::this_thread::sleep_for(300ms);  // the last connections settle

  const Names ports = {"in_1", "in_2", "out_1", "out_2"};
  for (size_t i = 0; i < ports.size(); ++i) {
    const std::string name = c.client + ":" + ports[i];
    EXPECT_EQ(probe.port_type(name), audio_type) << name;
    EXPECT_EQ(probe.connections(name), c.connections[i]) << name;
  }
  for (const std::string& error : c.errors)
    EXPECT_NE(host.process().stderr_text().find(" ERROR " + error + "\n"), std::string::npos)
        << error << "\n"
        << host.diagnostics();
  EXPECT_TRUE(host.process().running()) << host.diagnostics();
}

INSTANTIATE_TEST_SUITE_P(
    Servers, PortsOnServer,
    ::testing::Values(
        WiringCase{"two_physical_ports_each",
                   2,
                   2,
                   {},
                   "palvex",
                   {{"system:capture_1"},
                    {"system:capture_2"},
                    {"system:playback_1"},
                    {"system:playback_2"}},
                   {}},
        WiringCase{"one_physical_port_each",
                   1,
                   1,
                   {},
                   "palvex",
                   {{"system:capture_1"}, {}, {"system:playback_1"}, {}},
                   {"JACK: connected only 1 input ports", "JACK: connected only 1 output ports"}},
        WiringCase{"four_physical_ports_each",
                   4,
                   4,
                   {"-C", "palvex-four"},
                   "palvex-four",
                   {{"system:capture_1"},
                    {"system:capture_2"},
                    {"system:playback_1"},
                    {"system:playback_2"}},
                   {}},
        WiringCase{
            "session_id_connects_nothing", 2, 2, {"-S", "4242"}, "palvex", {{}, {}, {}, {}}, {}}),
    [](const ::testing::TestParamInfo<WiringCase>& info) { return info.param.name; });

TEST(SessionOnServer, the_client_is_opened_under_the_session_id) {
  START_JACK_SERVER(server, 256, 2, 2);
  JackProbe probe("probe", JackProbe::observer);
  ASSERT_TRUE(probe.open());
  HostRun host(server, {"-S", "4242"});
  ASSERT_TRUE(wait_until_up(probe, 0)) << host.diagnostics();
  EXPECT_EQ(probe.uuid_of("palvex"), "4242");
}

// The order of the shutdown as the fake engine's trace and the close shim record it.
void expect_ordered_shutdown(const std::vector<std::string>& trace) {
  const long close = index_of(trace, "jack_client_close");
  const long web = index_of(trace, "palvex_Webserver_Stop web1 1000");
  const long update = index_of(trace, "palvex_StopUpdateThread proc1");
  const long exit_process = index_of(trace, "palvex_ExitProcess proc1");
  const long free_set = index_of(trace, "palvex_FreeParameters set1");
  ASSERT_GE(close, 0);
  EXPECT_LT(close, web);
  EXPECT_LT(web, update);
  EXPECT_LT(update, exit_process);
  EXPECT_LT(exit_process, free_set);
  EXPECT_EQ(static_cast<size_t>(free_set), trace.size() - 1) << "freed last, at exit";
}

class StopSignal : public ::testing::TestWithParam<int> {};

TEST_P(StopSignal, shuts_down_in_order_within_about_a_second_with_status_0) {
  START_JACK_SERVER(server, 256, 2, 2);
  JackProbe probe("probe", JackProbe::observer);
  HostRun host(server, {"-w", std::to_string(free_tcp_port()), "-vvvvv"});
  ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();

  host.process().send_signal(GetParam());
  ASSERT_TRUE(host.process().wait_for_exit(2500ms)) << host.diagnostics();
  const ProcessResult& result = host.process().result();
  EXPECT_TRUE(result.exited) << host.diagnostics();
  EXPECT_EQ(result.status, 0);
  const std::string& err = result.err;
  const size_t stopping = err.find(" VERB5 MAIN stopping\n");
  EXPECT_NE(stopping, std::string::npos) << err;
  EXPECT_NE(err.find(" VERB5 MAIN exiting now\n", stopping), std::string::npos) << err;
  expect_ordered_shutdown(host.trace());
  EXPECT_FALSE(probe.port_exists("palvex:out_2"));
}

TEST_P(StopSignal, a_second_signal_during_a_hanging_shutdown_ends_the_process_at_once) {
  START_JACK_SERVER(server, 256, 2, 2);
  JackProbe probe("probe", JackProbe::observer);
  HostRun host(server, {}, {{"PALVEX_TEST_CLOSE_DELAY_MS", "5000"}});
  ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  host.process().send_signal(GetParam());
  const auto deadline = std::chrono::steady_clock::now() + 3s;
  while (index_of(host.trace(), "jack_client_close") < 0 &&
         std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(10ms);
  ASSERT_GE(index_of(host.trace(), "jack_client_close"), 0) << host.diagnostics();
  host.process().send_signal(GetParam());
  ASSERT_TRUE(host.process().wait_for_exit(2s));
  EXPECT_FALSE(host.process().result().exited);
  EXPECT_EQ(host.process().result().signal, GetParam());
  EXPECT_LT(index_of(host.trace(), "palvex_StopUpdateThread proc1"), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal, ::testing::Values(SIGTERM, SIGINT),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? "SIGTERM" : "SIGINT";
                         });

struct UnfitPeriod {
  const char* name;
  unsigned start_period;  // the server's buffer size when the host starts
  unsigned new_size;      // the buffer size it is changed to while the host runs; 0: none
  EnvChanges env;
  Engine engine;
  std::string rejected;  // the real-time record of the first rejected period
  std::string reason;    // what main logs before it shuts down
};

void PrintTo(const UnfitPeriod& c, std::ostream* out) { *out << c.name; }

class UnfitBufferSize : public ::testing::TestWithParam<UnfitPeriod> {};

// jackd2 deactivates a client whose process callback fails and never calls it again: a host
// that stayed would look healthy with dead audio.
TEST_P(UnfitBufferSize, ends_the_host_in_order_with_status_1_and_nothing_left_listening) {
  const UnfitPeriod& c = GetParam();
  START_JACK_SERVER(server, c.start_period, 2, 2);
  JackProbe probe("probe", JackProbe::observer);
  const int web_port = free_tcp_port();
  HostRun host(server, {"-w", std::to_string(web_port), "-vvvvv"}, c.env, c.engine);
  if (c.new_size != 0) {
    ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
    if (c.engine == Engine::stand_in) {
      ASSERT_TRUE(wait_for_tcp_port(host.json_port(), 5s)) << host.diagnostics();
      ASSERT_TRUE(wait_for_tcp_port(web_port, 5s)) << host.diagnostics();
    }
    ASSERT_TRUE(server.set_buffer_size(c.new_size)) << server.log();
  }

  ASSERT_TRUE(host.process().wait_for_exit(10s)) << host.diagnostics();
  const ProcessResult& result = host.process().result();
  EXPECT_TRUE(result.exited) << host.diagnostics();
  EXPECT_EQ(result.status, 1) << host.diagnostics();
  const std::string& err = result.err;
  const size_t rejected = err.find(" ERROR " + c.rejected + "\n");
  const size_t reason = err.find(" ERROR " + c.reason + "\n");
  const size_t stopping = err.find(" VERB5 MAIN stopping\n");
  const size_t exiting = err.find(" VERB5 MAIN exiting now\n");
  // The real-time record reaches the console through the printer thread, so its place among
  // main's own lines is not fixed, but it comes before the last.
  EXPECT_NE(rejected, std::string::npos) << err;
  EXPECT_LT(rejected, exiting) << err;
  // jackd2 calls a client that rejected a period no more: one record, not one per period.
  EXPECT_EQ(rejected, err.rfind(" ERROR " + c.rejected + "\n")) << "reported more than once:\n"
                                                                << err;
  ASSERT_NE(reason, std::string::npos) << err;
  ASSERT_NE(exiting, std::string::npos) << err;
  EXPECT_LT(reason, stopping) << err;
  EXPECT_LT(stopping, exiting) << err;

  if (c.engine == Engine::fake) {
    expect_ordered_shutdown(host.trace());
  } else {
    EXPECT_FALSE(wait_for_tcp_port(host.json_port(), 0ms));
    EXPECT_FALSE(wait_for_tcp_port(web_port, 0ms));
  }
  EXPECT_FALSE(probe.port_exists("palvex:in_1"));
}

INSTANTIATE_TEST_SUITE_P(
    Sizes, UnfitBufferSize,
    ::testing::Values(
        UnfitPeriod{"changed_below_the_chunk",
                    256,
                    128,
                    {},
                    Engine::stand_in,
                    "JACK bad number of frames 128 (expect a multiple of 256)",
                    "JACK stopped the client after a rejected period of 128 frames: the host "
                    "needs a JACK buffer size that is a multiple of its chunk of 256 frames"},
        UnfitPeriod{"changed_above_the_chunk_to_no_multiple",
                    256,
                    384,
                    {},
                    Engine::fake,
                    "JACK bad number of frames 384 (expect a multiple of 256)",
                    "JACK stopped the client after a rejected period of 384 frames: the host "
                    "needs a JACK buffer size that is a multiple of its chunk of 256 frames"},
        UnfitPeriod{"started_below_the_engines_chunk",
                    32,
                    0,
                    {{"PALVEX_FAKE_PROCESS_CHUNK", "64"}},
                    Engine::fake,
                    "JACK bad number of frames 32 (expect a multiple of 64)",
                    "JACK stopped the client after a rejected period of 32 frames: the host "
                    "needs a JACK buffer size that is a multiple of its chunk of 64 frames"}),
    [](const ::testing::TestParamInfo<UnfitPeriod>& info) { return info.param.name; });

// The engine's own lines, sent from its threads while the host runs, reach standard error in
// the host's line format; its DEBUG lines never do. The DEBUG line goes out before the last.
const char* const engine_log = "3:engine warns|10:engine debug|2:NULL|5:engine verbose";
const char* const engine_lines[] = {" WARN  engine warns\n", " ERROR (null)\n",
                                    " VERB  engine verbose\n"};

TEST(EngineLog, lines_from_the_engines_threads_reach_standard_error) {
  START_JACK_SERVER(server, 256, 2, 2);
  JackProbe probe("probe", JackProbe::observer);
  HostRun host(server, {"-v"}, {{"PALVEX_FAKE_LOG", engine_log}});
  ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  for (const char* line : engine_lines)
    EXPECT_TRUE(host.process().wait_for_stderr(line, 5s)) << line << host.diagnostics();
  EXPECT_EQ(host.process().stderr_text().find("engine debug"), std::string::npos);
}

// Only SIGINT and SIGTERM stop the host in order; any other signal keeps its default action.
TEST(OtherSignal, sighup_ends_the_host_by_its_default_action) {
  START_JACK_SERVER(server, 256, 2, 2);
  JackProbe probe("probe", JackProbe::observer);
  HostRun host(server, {"-vvvvv"});
  ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  host.process().send_signal(SIGHUP);
  ASSERT_TRUE(host.process().wait_for_exit(2s)) << host.diagnostics();
  EXPECT_FALSE(host.process().result().exited) << host.diagnostics();
  EXPECT_EQ(host.process().result().signal, SIGHUP);
  EXPECT_EQ(host.process().result().err.find("MAIN stopping"), std::string::npos);
}

class ServerGoesAway : public ::testing::TestWithParam<int> {};

TEST_P(ServerGoesAway, the_host_notices_within_about_a_second_and_exits_0) {
  START_JACK_SERVER(server, 256, 2, 2);
  HostRun host(server, {"-vvvvv"});
  {
    JackProbe probe("probe", JackProbe::observer);
    ASSERT_TRUE(wait_until_up(probe, 1)) << host.diagnostics();
  }
  ASSERT_TRUE(server.stop(GetParam()));
  ASSERT_TRUE(host.process().wait_for_exit(3s)) << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited) << host.diagnostics();
  EXPECT_EQ(host.process().result().status, 0);
  EXPECT_NE(host.process().result().err.find("MAIN exiting now"), std::string::npos);
  const std::vector<std::string> trace = host.trace();
  EXPECT_GE(index_of(trace, "palvex_ExitProcess proc1"), 0);
}

INSTANTIATE_TEST_SUITE_P(Signals, ServerGoesAway, ::testing::Values(SIGTERM, SIGKILL),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return info.param == SIGTERM ? "terminated" : "killed";
                         });

// A start that failed ends in order with status 1, so that a supervisor restarts the host and
// a script tells it from a normal end.
enum class Taken { nothing, json_port, web_port };

struct FailedStartCase {
  const char* name;
  bool server;  // a jackd to reach
  Taken taken;
  std::vector<std::string> errors;  // in this order
};

void PrintTo(const FailedStartCase& c, std::ostream* out) { *out << c.name; }

class FailedStart : public ::testing::TestWithParam<FailedStartCase> {};

TEST_P(FailedStart, ends_in_order_with_status_1_and_leaves_nothing_listening) {
  const FailedStartCase& c = GetParam();
  JackServerOptions options;
  options.started = c.server;
  JackServer server(options);
  if (c.server) {
    ASSERT_TRUE(server.ready()) << server.log();
    server.use_in_this_process();
  }
  const TakenPort taken;
  ASSERT_NE(taken.port(), 0);
  const int web_port = c.taken == Taken::web_port ? taken.port() : free_tcp_port();
  const int json_port = c.taken == Taken::json_port ? taken.port() : 0;
  HostRun host(server, {"-w", std::to_string(web_port), "-vvvvv"}, {}, Engine::stand_in, json_port);
  ASSERT_TRUE(host.process().wait_for_exit(10s)) << host.diagnostics();
  const ProcessResult& result = host.process().result();
  EXPECT_TRUE(result.exited) << host.diagnostics();
  EXPECT_EQ(result.status, 1) << host.diagnostics();
  size_t at = 0;
  for (const std::string& error : c.errors) {
    at = result.err.find(error, at);
    ASSERT_NE(at, std::string::npos) << error << " missing or out of order:\n" << result.err;
  }
  const size_t stopping = result.err.find(" VERB5 MAIN stopping\n", at);
  EXPECT_NE(stopping, std::string::npos) << result.err;
  EXPECT_NE(result.err.find(" VERB5 MAIN exiting now\n", stopping), std::string::npos)
      << result.err;
  // The ports that were not taken were given back, or never opened.
  if (c.taken != Taken::web_port) EXPECT_FALSE(wait_for_tcp_port(web_port, 0ms));
  if (c.taken != Taken::json_port) EXPECT_FALSE(wait_for_tcp_port(host.json_port(), 0ms));
  if (c.server) {
    JackProbe probe("probe", JackProbe::observer);
    EXPECT_FALSE(probe.port_exists("palvex:in_1"));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Causes, FailedStart,
    ::testing::Values(FailedStartCase{"no_server",
                                      false,
                                      Taken::nothing,
                                      {" ERROR jack_client_open() failed, status = 0x",
                                       " ERROR Unable to connect to JACK server\n"}},
                      FailedStartCase{"json_port_taken",
                                      true,
                                      Taken::json_port,
                                      {" FATAL Error creating the process, aborting\n"}},
                      FailedStartCase{"web_port_taken",
                                      true,
                                      Taken::web_port,
                                      {" FATAL Error starting web server, aborting\n"}}),
    [](const ::testing::TestParamInfo<FailedStartCase>& info) { return info.param.name; });

struct SetupFailure {
  const char* name;
  const char* fail;     // PALVEX_FAKE_FAIL
  std::string message;  // the line that says why
  int status;
};

void PrintTo(const SetupFailure& c, std::ostream* out) { *out << c.name; }

class FailedSetup : public ::testing::TestWithParam<SetupFailure> {};

TEST_P(FailedSetup, closes_the_client_and_shuts_down_in_order) {
  const SetupFailure& c = GetParam();
  START_JACK_SERVER(server, 256, 2, 2);
  HostRun host(server, {}, {{"PALVEX_FAKE_FAIL", c.fail}});
  ASSERT_TRUE(host.process().wait_for_exit(10s)) << host.diagnostics();
  const ProcessResult& result = host.process().result();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, c.status) << result.err;
  EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
  EXPECT_GE(index_of(host.trace(), "jack_client_close"), 0);
  JackProbe probe("probe", JackProbe::observer);
  EXPECT_FALSE(probe.port_exists("palvex:in_1"));
}

INSTANTIATE_TEST_SUITE_P(
    Engine, FailedSetup,
    ::testing::Values(SetupFailure{"no_process", "InitProcess3",
                                   " FATAL Error creating the process, aborting\n", 1},
                      SetupFailure{"no_parameter_set_is_fatal", "NewParameters",
                                   " FATAL Fatal error while setting up: std::bad_alloc\n", 1}),
    [](const ::testing::TestParamInfo<SetupFailure>& info) { return info.param.name; });

}  // namespace
