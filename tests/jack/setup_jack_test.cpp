// setup_jack against the fake JACK calls: call order, wiring, every failure and its messages.
#include <gtest/gtest.h>

#include <ostream>
#include <stdexcept>

#include "fake_jack.h"
#include "jack_host.h"
#include "log_capture.h"
#include "signals.h"
#include "test_instance.h"

namespace {

using Lines = std::vector<LoggedLine>;
using Names = std::vector<std::string>;

class SetupJack : public ::testing::Test {
protected:
  void SetUp() override { reset_fake_jack(); }
  void TearDown() override {
    current_instance.reset();
    jack_client = nullptr;
    for (jack_port_t*& port : jack_in_ports) port = nullptr;
    for (jack_port_t*& port : jack_out_ports) port = nullptr;
  }

  // Records its call among JACK's, so the trace shows where the instance was made.
  InstanceFactory factory(bool gives_instance = true) {
    return [gives_instance](uint32_t frames) -> std::shared_ptr<ProcessingInstance> {
      fake_jack().calls.push_back("factory " + std::to_string(frames));
      return gives_instance ? make_test_instance(64) : nullptr;
    };
  }

  int run(const char* session_id = "", int level = 10) {
    ScopedMainLogger logger(level, sink);
    return setup_jack(factory(), "palvex", session_id);
  }

  // Records at level 3 and below: the warnings and errors.
  Lines problems() {
    Lines picked;
    for (const LoggedLine& line : sink.lines())
      if (line.level <= 3) picked.push_back(line);
    return picked;
  }

  RecordingSink sink;
};

TEST_F(SetupJack, opens_creates_the_instance_registers_activates_and_then_wires_in_order) {
  ASSERT_EQ(run(), 1);
  const Names expected = {
      "jack_client_open palvex JackNullOption",
      "jack_set_process_callback null",
      "jack_on_shutdown null",
      "jack_get_sample_rate",
      "jack_get_sample_rate",
      "jack_get_buffer_size",
      "jack_get_buffer_size",
      "factory 256",
      "jack_port_register in_1 \"32 bit float mono audio\" JackPortIsInput 0",
      "jack_port_register in_2 \"32 bit float mono audio\" JackPortIsInput 0",
      "jack_port_register out_1 \"32 bit float mono audio\" JackPortIsOutput 0",
      "jack_port_register out_2 \"32 bit float mono audio\" JackPortIsOutput 0",
      "jack_activate",
      "jack_get_ports null null physical-output",
      "jack_port_name palvex:in_1",
      "jack_connect system:capture_1>palvex:in_1",
      "jack_port_name palvex:in_2",
      "jack_connect system:capture_2>palvex:in_2",
      "jack_get_ports null null physical-input",
      "jack_port_name palvex:out_1",
      "jack_connect palvex:out_1>system:playback_1",
      "jack_port_name palvex:out_2",
      "jack_connect palvex:out_2>system:playback_2",
  };
  EXPECT_EQ(fake_jack().calls, expected);
  EXPECT_EQ(sink.lines(),
            (Lines{{4, "JACK engine sample rate: 48000"}, {4, "JACK engine buffer sze: 256"}}));
  EXPECT_EQ(fake_jack().process, static_cast<JackProcessCallback>(on_jack_process));
  EXPECT_EQ(fake_jack().shutdown, &on_jack_shutdown);
  EXPECT_EQ(jack_client, fake_jack().client.get());
  EXPECT_TRUE(current_instance);
  EXPECT_FALSE(fake_jack().client_closed);
}

TEST_F(SetupJack, a_session_id_opens_with_it_and_connects_nothing) {
  ASSERT_EQ(run("session-42"), 1);
  EXPECT_EQ(fake_jack().calls.front(), "jack_client_open palvex JackSessionID session-42");
  EXPECT_EQ(fake_jack().calls.back(), "jack_activate");
  EXPECT_TRUE(fake_jack().connections.empty());
}

TEST_F(SetupJack, a_null_session_id_is_no_session) {
  ScopedMainLogger logger(10, sink);
  ASSERT_EQ(setup_jack(factory(), "palvex", nullptr), 1);
  EXPECT_EQ(fake_jack().calls.front(), "jack_client_open palvex JackNullOption");
  EXPECT_EQ(fake_jack().connections.size(), 4u);
}

struct WiringCase {
  const char* name;
  std::optional<Names> capture;
  std::optional<Names> playback;
  std::set<std::string> failing;
  Names connections;
  Lines problems;
};

void PrintTo(const WiringCase& c, std::ostream* out) { *out << c.name; }

class Wiring : public SetupJack, public ::testing::WithParamInterface<WiringCase> {};

TEST_P(Wiring, connects_what_it_can_reports_the_rest_and_still_succeeds) {
  const WiringCase& c = GetParam();
  fake_jack().capture = c.capture;
  fake_jack().playback = c.playback;
  fake_jack().failing_connections = c.failing;
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(fake_jack().connections, c.connections);
  EXPECT_EQ(problems(), c.problems);
}

const Names two_capture = {"system:capture_1", "system:capture_2"};
const Names two_playback = {"system:playback_1", "system:playback_2"};
const Names wired_inputs = {"system:capture_1>palvex:in_1", "system:capture_2>palvex:in_2"};
const Names wired_outputs = {"palvex:out_1>system:playback_1", "palvex:out_2>system:playback_2"};
Names joined(Names a, const Names& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

INSTANTIATE_TEST_SUITE_P(
    PhysicalPorts, Wiring,
    ::testing::Values(WiringCase{"one_capture_port",
                                 Names{"system:capture_1"},
                                 two_playback,
                                 {},
                                 joined({"system:capture_1>palvex:in_1"}, wired_outputs),
                                 {{2, "JACK: connected only 1 input ports"}}},
                      WiringCase{"one_playback_port",
                                 two_capture,
                                 Names{"system:playback_1"},
                                 {},
                                 joined(wired_inputs, {"palvex:out_1>system:playback_1"}),
                                 {{2, "JACK: connected only 1 output ports"}}},
                      WiringCase{"no_capture_list",
                                 std::nullopt,
                                 two_playback,
                                 {},
                                 wired_outputs,
                                 {{3, "JACK: no physical capture ports"}}},
                      WiringCase{"no_playback_list",
                                 two_capture,
                                 std::nullopt,
                                 {},
                                 wired_inputs,
                                 {{3, "JACK: no physical playback ports"}}},
                      WiringCase{"empty_lists",
                                 Names{},
                                 Names{},
                                 {},
                                 {},
                                 {{2, "JACK: cannot connect input ports"},
                                  {2, "JACK: cannot connect output ports"}}},
                      WiringCase{"four_of_each_uses_the_first_two",
                                 joined(two_capture, {"system:capture_3", "system:capture_4"}),
                                 joined(two_playback, {"system:playback_3", "system:playback_4"}),
                                 {},
                                 joined(wired_inputs, wired_outputs),
                                 {}},
                      WiringCase{"a_failed_input_connection_does_not_stop_the_next",
                                 two_capture,
                                 two_playback,
                                 {"system:capture_1>palvex:in_1"},
                                 joined({"system:capture_2>palvex:in_2"}, wired_outputs),
                                 {{2, "JACK: cannot connect input port 0"}}},
                      WiringCase{"a_failed_output_connection_is_reported_by_its_number",
                                 two_capture,
                                 two_playback,
                                 {"palvex:out_2>system:playback_2"},
                                 joined(wired_inputs, {"palvex:out_1>system:playback_1"}),
                                 {{2, "JACK: cannot connect output port 1"}}}),
    [](const ::testing::TestParamInfo<WiringCase>& info) { return info.param.name; });

struct OpenFailure {
  const char* name;
  int status;
  Lines lines;
};

void PrintTo(const OpenFailure& c, std::ostream* out) { *out << c.name; }

class OpenFails : public SetupJack, public ::testing::WithParamInterface<OpenFailure> {};

TEST_P(OpenFails, logs_the_status_in_hexadecimal_and_closes_nothing) {
  fake_jack().open_fails = true;
  fake_jack().open_status = GetParam().status;
  EXPECT_EQ(run(), 0);
  EXPECT_EQ(sink.lines(), GetParam().lines);
  EXPECT_EQ(fake_jack().calls, Names{"jack_client_open palvex JackNullOption"});
  EXPECT_EQ(jack_client, nullptr);
  EXPECT_FALSE(current_instance);
}

INSTANTIATE_TEST_SUITE_P(
    Status, OpenFails,
    ::testing::Values(OpenFailure{"server_failed",
                                  JackFailure | JackServerFailed,
                                  {{2, "jack_client_open() failed, status = 0x11"},
                                   {2, "Unable to connect to JACK server"}}},
                      OpenFailure{"server_error",
                                  JackFailure | JackServerError,
                                  {{2, "jack_client_open() failed, status = 0x21"}}},
                      OpenFailure{"bad_name",
                                  JackFailure | JackInvalidOption | JackNameNotUnique,
                                  {{2, "jack_client_open() failed, status = 0x7"}}}),
    [](const ::testing::TestParamInfo<OpenFailure>& info) { return info.param.name; });

TEST_F(SetupJack, reports_a_started_server_and_the_name_jack_assigned) {
  fake_jack().open_status = JackServerStarted | JackNameNotUnique;
  fake_jack().renamed_to = "palvex-01";
  ASSERT_EQ(run(), 1);
  const Lines lines = sink.lines();
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], (LoggedLine{4, "JACK server started"}));
  EXPECT_EQ(lines[1], (LoggedLine{4, "unique name 'palvex-01' assigned to jack client"}));
  EXPECT_EQ(fake_jack().connections.front(), "system:capture_1>palvex-01:in_1");
}

TEST_F(SetupJack, a_null_assigned_name_prints_as_null) {
  fake_jack().open_status = JackNameNotUnique;
  fake_jack().null_client_name = true;
  ASSERT_EQ(run(), 1);
  EXPECT_EQ(sink.lines().at(0), (LoggedLine{4, "unique name '(null)' assigned to jack client"}));
}

TEST_F(SetupJack, a_rate_other_than_48000_is_reported_but_not_enforced) {
  fake_jack().sample_rate = 44100;
  EXPECT_EQ(run(), 1);
  EXPECT_EQ(sink.lines(), (Lines{{4, "JACK engine sample rate: 44100"},
                                 {2, "JACK is running at 44100 but process is for 48000"},
                                 {4, "JACK engine buffer sze: 256"}}));
}

TEST_F(SetupJack, below_info_the_sizes_are_still_taken_and_the_instance_made) {
  fake_jack().buffer_size = 1024;
  EXPECT_EQ(run("", 3), 1);
  EXPECT_TRUE(sink.lines().empty());
  EXPECT_NE(std::find(fake_jack().calls.begin(), fake_jack().calls.end(), "factory 1024"),
            fake_jack().calls.end());
}

struct LateFailure {
  const char* name;
  bool gives_instance;
  int failing_registration;
  int activate_result;
  size_t registrations;
  Lines problems;
};

void PrintTo(const LateFailure& c, std::ostream* out) { *out << c.name; }

class FailsAfterOpen : public SetupJack, public ::testing::WithParamInterface<LateFailure> {};

TEST_P(FailsAfterOpen, closes_the_client_itself_and_keeps_the_instance_for_main_to_stop) {
  const LateFailure& c = GetParam();
  fake_jack().failing_registration = c.failing_registration;
  fake_jack().activate_result = c.activate_result;
  ScopedMainLogger logger(10, sink);
  EXPECT_EQ(setup_jack(factory(c.gives_instance), "palvex", ""), 0);
  EXPECT_EQ(problems(), c.problems);
  EXPECT_EQ(fake_jack().calls.back(), "jack_client_close palvex");
  EXPECT_EQ(jack_client, nullptr) << "a closed handle must not be closed again";
  EXPECT_EQ(static_cast<bool>(current_instance), c.gives_instance);
  EXPECT_EQ(static_cast<size_t>(fake_jack().registrations), c.registrations);
  EXPECT_TRUE(fake_jack().connections.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Steps, FailsAfterOpen,
    ::testing::Values(
        LateFailure{"no_instance", false, -1, 0, 0, {}},
        LateFailure{
            "out_1_not_registered", true, 2, 0, 3, {{2, "not enough JACK ports available"}}},
        LateFailure{"in_1_not_registered", true, 0, 0, 1, {{2, "not enough JACK ports available"}}},
        LateFailure{"not_activated", true, -1, -1, 4, {{2, "JACK: cannot activate client"}}}),
    [](const ::testing::TestParamInfo<LateFailure>& info) { return info.param.name; });

TEST_F(SetupJack, an_exception_from_the_factory_leaves_the_client_open_and_inactive) {
  ScopedMainLogger logger(10, sink);
  InstanceFactory throwing = [](uint32_t) -> std::shared_ptr<ProcessingInstance> {
    throw std::bad_alloc();
  };
  EXPECT_THROW(setup_jack(throwing, "palvex", ""), std::bad_alloc);
  EXPECT_EQ(jack_client, fake_jack().client.get());
  EXPECT_FALSE(fake_jack().client_closed);
  EXPECT_EQ(fake_jack().registrations, 0);
}

TEST_F(SetupJack, the_shutdown_callback_only_raises_the_stop_flag) {
  ASSERT_EQ(run(), 1);
  stop_requested.store(0);
  const size_t calls = fake_jack().calls.size();
  fake_jack().shutdown(nullptr);
  EXPECT_EQ(stop_requested.load(), 1);
  EXPECT_EQ(fake_jack().calls.size(), calls);
  stop_requested.store(0);
}

}  // namespace
