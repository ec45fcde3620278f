// palvex-pipewire on a real PipeWire daemon: its node, ports, latency parameter and icon file,
// the stop signals and the connect failure.
#include <gtest/gtest.h>

#include <signal.h>

#include <filesystem>
#include <set>
#include <thread>

#include "audio_probe.h"
#include "host_node.h"
#include "icon.h"

namespace {

using namespace std::chrono_literals;

#define START_PIPEWIRE(server) \
  PipeWireServer server;       \
  ASSERT_TRUE(server.ready()) << server.log()

// pw-dump shows a property that looks like a number as a number.
std::string text_of(const nlohmann::json& props, const std::string& key) {
  auto value = props.find(key);
  if (value == props.end()) return "<missing>";
  return value->is_string() ? value->get<std::string>() : value->dump();
}

struct NameCase {
  const char* name;
  std::vector<std::string> args;
  std::string application_name;
};

void PrintTo(const NameCase& c, std::ostream* out) { *out << c.name; }

class NodeProperties : public testing::TestWithParam<NameCase> {};

TEST_P(NodeProperties, node_ports_latency_and_icon_as_advertised) {
  START_PIPEWIRE(server);
  HostRun host(server, GetParam().args);
  const std::optional<GraphNode> node = wait_for_host_node(host, server);
  ASSERT_TRUE(node) << host.diagnostics();

  // The node's name stays "VELMOR Palvex" whatever -C says; only the application follows it.
  EXPECT_EQ(text_of(node->props, "media.name"), "VELMOR Palvex");
  EXPECT_EQ(text_of(node->props, "media.type"), "Audio");
  EXPECT_EQ(text_of(node->props, "media.category"), "Filter");
  EXPECT_EQ(text_of(node->props, "media.role"), "DSP");
  EXPECT_EQ(text_of(node->props, "application.name"), GetParam().application_name);
  EXPECT_EQ(text_of(node->props, "application.icon"), icon_ico_base64);

  const std::string icon_file = text_of(node->props, "application.icon-name");
  EXPECT_EQ(icon_file.rfind("/tmp/png", 0), 0u) << icon_file;
  EXPECT_EQ(icon_file.size(), 14u) << icon_file;
  EXPECT_EQ(read_file(icon_file), base64_decode(icon_png_base64));

  ASSERT_EQ(node->ports.size(), 4u);
  for (const char* direction : {"in", "out"})
    for (const char* name : {"FL", "FR"}) {
      SCOPED_TRACE(std::string(direction) + " " + name);
      const std::optional<GraphPort> port = node->port(direction, name);
      ASSERT_TRUE(port);
      EXPECT_EQ(text_of(port->props, "format.dsp"), "32 bit float mono audio");
      EXPECT_EQ(text_of(port->props, "audio.channel"), name);
      EXPECT_EQ(text_of(port->props, "audio.rate"), "48000");
      EXPECT_EQ(text_of(port->props, "audio.allowed-rates"), "[ 48000 ]");
      EXPECT_EQ(text_of(port->props, "audio.format"), "f32");
    }

  const ProcessResult latency =
      server.run_tool({"pw-cli", "e", std::to_string(node->id), "ProcessLatency"});
  const std::string& text = latency.out;
  const size_t quantum = text.find("ProcessLatency:quantum");
  const size_t rate = text.find("ProcessLatency:rate");
  const size_t ns = text.find("ProcessLatency:ns");
  ASSERT_TRUE(quantum != std::string::npos && rate != std::string::npos && ns != std::string::npos)
      << text;
  EXPECT_LT(quantum, rate);
  EXPECT_LT(rate, ns);
  EXPECT_NE(text.find("Float 0.000000", quantum), std::string::npos) << text;
  EXPECT_NE(text.find("Int 0", rate), std::string::npos) << text;
  EXPECT_NE(text.find("Long 10000000", ns), std::string::npos) << text;

  host.process().send_signal(SIGINT);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited);
  EXPECT_EQ(host.process().result().status, 0);
  EXPECT_FALSE(std::filesystem::exists(icon_file)) << "the exit handler removes it";
}

INSTANTIATE_TEST_SUITE_P(
    Names, NodeProperties,
    testing::Values(NameCase{"client_name_from_the_option", {"-C", "palvex e2e"}, "palvex e2e"},
                    NameCase{"default_client_name", {}, "palvex-pipewire"}),
    [](const testing::TestParamInfo<NameCase>& info) { return std::string(info.param.name); });

struct StopCase {
  const char* name;
  int signal_number;
  std::vector<std::string> args;
  bool main_records;  // "MAIN stopping" and "MAIN exiting now" are written
};

void PrintTo(const StopCase& c, std::ostream* out) { *out << c.name; }

class StopSignal : public testing::TestWithParam<StopCase> {};

TEST_P(StopSignal, shuts_down_in_order_with_status_0) {
  const StopCase& run = GetParam();
  START_PIPEWIRE(server);
  ASSERT_TRUE(server.force_quantum(256));
  server.use_in_this_process();
  AudioProbe probe;
  ASSERT_TRUE(probe.ready());
  // Without -j: the program's default port shows in the trace.
  HostRun host(server, run.args, {}, Engine::fake, HostRun::program_default_port);
  const std::optional<GraphNode> node = wait_for_host_node(host, server);
  ASSERT_TRUE(node) << host.diagnostics();
  ASSERT_TRUE(link_probe_through(server, *node, false));
  ASSERT_TRUE(host.wait_for_trace("palvex_StartUpdateThread proc1 5010")) << host.diagnostics();

  host.process().send_signal(run.signal_number);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  const ProcessResult& result = host.process().result();
  EXPECT_TRUE(result.exited) << host.diagnostics();
  EXPECT_EQ(result.status, 0);
  const size_t stopping = result.err.find(" VERB  MAIN stopping\n");
  const size_t exiting = result.err.find(" VERB  MAIN exiting now\n");
  if (run.main_records) {
    ASSERT_NE(stopping, std::string::npos) << result.err;
    EXPECT_NE(exiting, std::string::npos) << result.err;
    EXPECT_LT(stopping, exiting);
  } else {
    EXPECT_EQ(result.err.find("MAIN "), std::string::npos) << result.err;
  }
  // The filter goes first, so that no cycle can touch the instance while it is torn down.
  const std::vector<std::string> trace = host.trace();
  const long destroyed = index_of(trace, "pw_filter_destroy");
  const long update_stopped = index_of(trace, "palvex_StopUpdateThread proc1");
  const long exited = index_of(trace, "palvex_ExitProcess proc1");
  ASSERT_GE(destroyed, 0) << host.diagnostics();
  EXPECT_LT(destroyed, update_stopped) << host.diagnostics();
  EXPECT_LT(update_stopped, exited) << host.diagnostics();
}

INSTANTIATE_TEST_SUITE_P(Signals, StopSignal,
                         testing::Values(StopCase{"SIGINT", SIGINT, {"-v"}, true},
                                         StopCase{"SIGTERM", SIGTERM, {"-v"}, true},
                                         StopCase{"SIGINT_below_level_5", SIGINT, {}, false}),
                         [](const testing::TestParamInfo<StopCase>& info) {
                           return std::string(info.param.name);
                         });

// The engine's own lines, sent from its threads while the host runs, reach standard error in
// the host's line format; its DEBUG lines never do. The DEBUG line goes out before the last.
const char* const engine_log = "3:engine warns|10:engine debug|2:NULL|5:engine verbose";
const char* const engine_lines[] = {" WARN  engine warns\n", " ERROR (null)\n",
                                    " VERB  engine verbose\n"};

TEST(EngineLog, lines_from_the_engines_threads_reach_standard_error) {
  START_PIPEWIRE(server);
  HostRun host(server, {"-v"}, {{"PALVEX_FAKE_LOG", engine_log}});
  ASSERT_TRUE(wait_for_host_node(host, server)) << host.diagnostics();
  for (const char* line : engine_lines)
    EXPECT_TRUE(host.process().wait_for_stderr(line, 5s)) << line << host.diagnostics();
  EXPECT_EQ(host.process().stderr_text().find("engine debug"), std::string::npos);
}

// Only SIGINT and SIGTERM stop the host in order; any other signal keeps its default action.
TEST(OtherSignal, sighup_ends_the_host_by_its_default_action) {
  START_PIPEWIRE(server);
  HostRun host(server, {"-v"});
  const std::optional<GraphNode> node = wait_for_host_node(host, server);
  ASSERT_TRUE(node) << host.diagnostics();
  host.process().send_signal(SIGHUP);
  ASSERT_TRUE(host.process().wait_for_exit(2s)) << host.diagnostics();
  EXPECT_FALSE(host.process().result().exited) << host.diagnostics();
  EXPECT_EQ(host.process().result().signal, SIGHUP);
  EXPECT_EQ(host.process().result().err.find("MAIN stopping"), std::string::npos);
}

// An engine that never makes a process: every cycle tries again and queues its records, up to
// the moment the filter goes. They are all printed before the last line.
TEST(FailingEngine, every_record_of_the_last_cycles_comes_before_main_exiting_now) {
  START_PIPEWIRE(server);
  ASSERT_TRUE(server.force_quantum(256));
  server.use_in_this_process();
  AudioProbe probe;
  ASSERT_TRUE(probe.ready());
  HostRun host(server, {"-v"}, {{"PALVEX_FAKE_FAIL", "InitProcess3"}});
  const std::optional<GraphNode> node = wait_for_host_node(host, server);
  ASSERT_TRUE(node) << host.diagnostics();
  ASSERT_TRUE(link_probe_through(server, *node, false));
  ASSERT_TRUE(host.process().wait_for_stderr(" WARN  Invalid instance\n", 10s))
      << host.diagnostics();

  host.process().send_signal(SIGINT);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  const std::string& err = host.process().result().err;
  const std::string last_line = " VERB  MAIN exiting now\n";
  ASSERT_GE(err.size(), last_line.size());
  EXPECT_EQ(err.substr(err.size() - last_line.size()), last_line)
      << err.substr(err.rfind("MAIN stopping"));
}

class SecondSignal : public testing::TestWithParam<int> {};

// Nothing but the default action is left once the first signal was handled: no exit
// handlers, so the icon file stays.
TEST_P(SecondSignal, during_a_hanging_shutdown_ends_the_process_at_once) {
  START_PIPEWIRE(server);
  HostRun host(server, {"-v"}, {{"PALVEX_TEST_DESTROY_DELAY_MS", "10000"}});
  const std::optional<GraphNode> node = wait_for_host_node(host, server);
  ASSERT_TRUE(node) << host.diagnostics();
  const std::string icon_file = text_of(node->props, "application.icon-name");
  host.process().send_signal(SIGINT);
  ASSERT_TRUE(host.wait_for_trace("pw_filter_destroy", 5s)) << host.diagnostics();
  const auto sent = std::chrono::steady_clock::now();
  host.process().send_signal(GetParam());
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2s);
  EXPECT_FALSE(host.process().result().exited);
  EXPECT_EQ(host.process().result().signal, GetParam());
  EXPECT_EQ(host.process().result().err.find("MAIN exiting now"), std::string::npos);
  EXPECT_TRUE(std::filesystem::exists(icon_file));
  std::error_code ignored;
  std::filesystem::remove(icon_file, ignored);
}

INSTANTIATE_TEST_SUITE_P(Signals, SecondSignal, testing::Values(SIGINT, SIGTERM),
                         [](const testing::TestParamInfo<int>& info) {
                           return info.param == SIGINT ? "SIGINT" : "SIGTERM";
                         });

// A stop signal while the host is held back at a step of its set-up.
struct SetUpStep {
  const char* name;
  const char* delay_variable;  // of the preloaded shim: holds the call back 2 s
  const char* call;            // noted in the trace as the call begins
};
void PrintTo(const SetUpStep& c, std::ostream* out) { *out << c.name; }

class StopDuringSetUp : public testing::TestWithParam<SetUpStep> {};

// The main loop would never see a quit asked for before it runs, and pw_main_loop_run undoes
// one that comes before it sets the loop running; the host stops in order anyway.
TEST_P(StopDuringSetUp, a_signal_before_the_main_loop_runs_stops_the_host_in_order) {
  START_PIPEWIRE(server);
  HostRun host(server, {"-v"}, {{GetParam().delay_variable, "2000"}});
  ASSERT_TRUE(host.wait_for_trace(GetParam().call, 10s)) << host.diagnostics();
  std::this_thread::sleep_for(500ms);
  host.process().send_signal(SIGINT);
  ASSERT_TRUE(host.process().wait_for_exit(5s)) << host.diagnostics();
  EXPECT_TRUE(host.process().result().exited) << host.diagnostics();
  EXPECT_EQ(host.process().result().status, 0);
  EXPECT_NE(host.process().result().err.find("MAIN exiting now"), std::string::npos);
  EXPECT_GE(index_of(host.trace(), "pw_filter_destroy"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Steps, StopDuringSetUp,
    testing::Values(SetUpStep{"connect", "PALVEX_TEST_CONNECT_DELAY_MS", "pw_filter_connect"},
                    SetUpStep{"main_loop_start", "PALVEX_TEST_RUN_DELAY_MS", "pw_main_loop_run"}),
    [](const testing::TestParamInfo<SetUpStep>& info) { return std::string(info.param.name); });

// The icon files /tmp/png* that exist now. The end-to-end tests of this host run one at a
// time, so a file that appears during a run is that run's.
std::set<std::string> icon_files_in_tmp() {
  std::set<std::string> files;
  std::error_code ignored;
  for (const auto& entry : std::filesystem::directory_iterator("/tmp", ignored)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("png", 0) == 0 && name.size() == 9) files.insert(entry.path().string());
  }
  return files;
}

TEST(ConnectFailure, says_so_exits_255_and_removes_the_icon_file) {
  TempDir empty_runtime("palvex-no-pipewire");
  EnvChanges env = clean_palvex_env();
  env["XDG_RUNTIME_DIR"] = empty_runtime.path().string();
  env["PIPEWIRE_REMOTE"] = std::nullopt;
  env["LD_LIBRARY_PATH"] = PALVEX_FAKE_LIB_DIR;
  const std::set<std::string> before = icon_files_in_tmp();
  const ProcessResult result = run_process({bin_path("palvex-pipewire"), "-v"}, env, 20s);
  std::vector<std::string> left_behind;
  for (const std::string& file : icon_files_in_tmp())
    if (before.count(file) == 0) left_behind.push_back(file);
  ASSERT_TRUE(result.exited) << result.err;
  EXPECT_EQ(result.status, 255);
  EXPECT_NE(result.err.find("\ncan't connect\n"), std::string::npos) << result.err;
  EXPECT_EQ(result.err.find("MAIN "), std::string::npos) << result.err;
  EXPECT_TRUE(left_behind.empty()) << "left behind: " << left_behind.front();
  for (const std::string& file : left_behind) std::filesystem::remove(file);
}

}  // namespace
