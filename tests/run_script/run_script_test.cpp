// scripts/run as an operator runs it, with this build: the ports it reports are the ones the host
// listens on, ports that are taken stop it before anything starts, SIGINT stops it also when it
// came in ignored, SIGTERM to its whole process group stops it too, and in PipeWire mode on a
// daemon of its own audio flows through the engine without any linking by hand, also when a
// pw-link hangs. Servers are private: JACK under a name of the test's own, PipeWire
// in a runtime folder of the test's own.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "json_client.h"
#include "pipewire_server.h"
#include "process.h"
#include "taken_port.h"
#include "temp_dir.h"
#include "web_clients.h"

using namespace std::chrono_literals;

namespace {

const std::string script = std::string(PALVEX_SOURCE_DIR) + "/scripts/run";
constexpr auto start_timeout = 60s;  // the script first checks the packages and the build

// An operator's shell: this build, a state folder of the test's own, none of our settings.
EnvChanges script_env(const TempDir& state, const EnvChanges& more) {
  EnvChanges env = clean_palvex_env();
  env["PALVEX_BUILD_DIR"] = PALVEX_BUILD_DIR;
  env["STATE_DIR"] = state.path().string();
  env["LD_LIBRARY_PATH"] = std::nullopt;
  for (const auto& [name, value] : more) env[name] = value;
  return env;
}

std::vector<std::string> script_command(const std::vector<std::string>& args) {
  std::vector<std::string> argv{"bash", script};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

// The script as a child process. Whatever the test finds, it is stopped with SIGTERM at the end,
// so that it stops the host and the server it started in their own sessions; killing it would
// leave them running.
class ScriptRun {
public:
  ScriptRun(const std::vector<std::string>& argv, const EnvChanges& env) : child_(argv, env) {}
  ~ScriptRun() {
    if (child_.running()) stop(SIGTERM);
  }
  ScriptRun(const ScriptRun&) = delete;
  ScriptRun& operator=(const ScriptRun&) = delete;

  // True when the signal alone ended it.
  bool stop(int signal_number) {
    child_.send_signal(signal_number);
    return ended_on_its_own();
  }
  // The same with the signal sent to the script's whole process group, as `timeout` or a service
  // manager sends it: its watcher gets it too. The script must lead its group (setsid).
  bool stop_group(int signal_number) {
    if (::getpgid(child_.pid()) != child_.pid()) return false;
    ::kill(-child_.pid(), signal_number);
    return ended_on_its_own();
  }
  bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout) {
    return child_.wait_for_stderr(text, timeout);
  }
  bool wait_for_exit(std::chrono::milliseconds timeout) { return child_.wait_for_exit(timeout); }
  std::string err() const { return child_.stderr_text(); }
  bool ended_with_0() {
    return !child_.running() && child_.result().exited && child_.result().status == 0;
  }
  const ProcessResult& result() { return child_.result(); }

private:
  bool ended_on_its_own() {
    if (child_.wait_for_exit(30s)) return true;
    child_.send_signal(SIGTERM);
    child_.wait_for_exit(30s);
    return false;
  }

  ChildProcess child_;
};

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// On a JACK server that is already running, as on a machine where JACK is in use.
class RunScriptOnJack : public testing::Test {
protected:
  void SetUp() override { ASSERT_TRUE(jack_.ready()) << jack_.log(); }

  JackServer jack_;
  TempDir state_{"palvex-run-state"};
};

TEST_F(RunScriptOnJack, reports_the_ports_the_host_listens_on) {
  const int json = free_tcp_port(), web = free_tcp_port();
  const std::string j = std::to_string(json), w = std::to_string(web);
  struct Case {
    const char* how;
    std::vector<std::string> options;
    EnvChanges env;
    bool web_on;
  };
  const Case cases[] = {
      {"options", {"-j", j, "-w", w}, {}, true},
      {"environment", {}, {{"PROC_PORT", j}, {"HTTP_PORT", w}}, true},
      {"long options, web off", {"--jsonport=" + j, "--http=0"}, {}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    ScriptRun run(script_command(c.options), script_env(state_, jack_.client_env(c.env)));
    ASSERT_TRUE(run.wait_for_stderr("nc 127.0.0.1 " + j + " ", start_timeout)) << run.err();
    EXPECT_TRUE(wait_for_tcp_port(json, 5s));
    if (c.web_on) {
      EXPECT_TRUE(run.wait_for_stderr("http://127.0.0.1:" + w + "/", 5s)) << run.err();
      EXPECT_TRUE(wait_for_tcp_port(web, 5s));
    }
    ASSERT_TRUE(run.stop(SIGTERM)) << run.err();
    EXPECT_TRUE(run.ended_with_0()) << run.err();
    if (!c.web_on) {
      EXPECT_FALSE(contains(run.err(), "http://")) << run.err();
    }
    // The server was there before the script: it stays.
    EXPECT_FALSE(contains(run.err(), "stopped the JACK server"));
    EXPECT_TRUE(jack_.running());
  }
}

TEST_F(RunScriptOnJack, refuses_ports_that_are_taken) {
  const TakenPort taken;
  ASSERT_NE(taken.port(), 0);
  const std::string t = std::to_string(taken.port());
  const std::string other = std::to_string(free_tcp_port());
  struct Case {
    const char* how;
    std::vector<std::string> options;
    EnvChanges env;
    std::string says;
  };
  const Case cases[] = {
      {"JSON port as an option",
       {"-j", t, "-w", other},
       {},
       "JSON control port " + t + " is taken"},
      {"HTTP port as an option", {"-j", other, "-w", t}, {}, "HTTP port " + t + " is taken"},
      {"JSON port from the environment",
       {"-w", "0"},
       {{"PROC_PORT", t}},
       "JSON control port " + t + " is taken"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.how);
    ScriptRun run(script_command(c.options), script_env(state_, jack_.client_env(c.env)));
    ASSERT_TRUE(run.wait_for_exit(start_timeout)) << run.err();
    EXPECT_TRUE(run.result().exited && run.result().status != 0) << run.err();
    EXPECT_TRUE(contains(run.err(), c.says)) << run.err();
    // Stopped before the host: no address to reach it, no failure of its own.
    EXPECT_FALSE(contains(run.err(), "nc 127.0.0.1")) << run.err();
    EXPECT_FALSE(contains(run.err(), "FATAL")) << run.err();
  }
}

// Started in the background by a non-interactive shell, the script gets SIGINT ignored.
TEST(RunScript, starts_its_own_jack_server_and_stops_on_sigint_that_came_in_ignored) {
  TempDir state("palvex-run-state");
  const std::string server = "palvex-run-test-" + std::to_string(getpid());
  const int json = free_tcp_port();
  const EnvChanges jack_env{{"JACK_DEFAULT_SERVER", server}, {"JACK_NO_START_SERVER", "1"}};
  std::vector<std::string> argv{"sh",   "-c", "trap '' INT; exec bash \"$0\" \"$@\"",
                                script, "-j", std::to_string(json),
                                "-w",   "0"};
  ScriptRun run(argv, script_env(state, jack_env));
  ASSERT_TRUE(run.wait_for_stderr("nc 127.0.0.1 " + std::to_string(json) + " ", start_timeout))
      << run.err();
  const auto server_answers = [&] {
    const ProcessResult lsp = run_process({"jack_lsp", "-s", server}, jack_env, 10s);
    return lsp.exited && lsp.status == 0;
  };
  EXPECT_TRUE(server_answers());

  EXPECT_TRUE(run.stop(SIGINT)) << "SIGINT did not stop it:\n" << run.err();
  EXPECT_TRUE(run.ended_with_0()) << run.err();
  EXPECT_TRUE(contains(run.err(), "stopped the JACK server it had started"));
  EXPECT_FALSE(server_answers());
  EXPECT_FALSE(wait_for_tcp_port(json, 0ms));
}

// No session in the runtime folder: the script's own daemon, with a test tone and a null sink.
class RunScriptPipeWire : public testing::Test {
protected:
  void SetUp() override { ::chmod(runtime_.path().c_str(), 0700); }

  EnvChanges env() const {
    return script_env(state_, {{"XDG_RUNTIME_DIR", runtime_.path().string()},
                               {"TMPDIR", tmp_.path().string()},
                               {"PIPEWIRE_REMOTE", std::nullopt},
                               {"PIPEWIRE_RUNTIME_DIR", std::nullopt},
                               {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}});
  }
  // What a stopped run leaves: nothing of what it started.
  void expect_all_stopped(ScriptRun& run, int json) {
    EXPECT_TRUE(run.ended_with_0())
        << "exit status " << run.result().status << ", signal " << run.result().signal << "\n"
        << run.err();
    EXPECT_TRUE(contains(run.err(), "stopped the PipeWire daemon it had started")) << run.err();
    EXPECT_TRUE(std::filesystem::is_empty(tmp_.path())) << "the daemon's folders are left behind";
    EXPECT_FALSE(wait_for_tcp_port(json, 0ms));
  }
  // The tone comes out of the engine on both channels: its meters see it.
  static bool tone_through_engine(int json, nlohmann::json& peaks) {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      const nlohmann::json tree = JsonClient(json).request(R"({"get":null})");
      if (tree.is_object() && tree.contains("meters")) peaks = tree["meters"]["out_peak"];
      if (peaks.is_array() && peaks.size() == 2 && peaks[0].get<double>() > 0.1 &&
          peaks[1].get<double>() > 0.1)
        return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }

  TempDir state_{"palvex-run-state"}, runtime_{"palvex-run-runtime"}, tmp_{"palvex-run-tmp"};
};

TEST_F(RunScriptPipeWire, engine_runs_on_its_own_daemon_with_no_linking_by_hand) {
  const int json = free_tcp_port();
  ScriptRun run(script_command({"--pipewire", "-j", std::to_string(json), "-w", "0"}), env());
  // Printed once the engine serves the port: the engine starts with the node's first cycle.
  ASSERT_TRUE(run.wait_for_stderr("nc 127.0.0.1 " + std::to_string(json) + " ", start_timeout))
      << run.err();

  nlohmann::json peaks;
  EXPECT_TRUE(tone_through_engine(json, peaks)) << "last meters: " << peaks.dump() << "\n"
                                                << run.err();

  ASSERT_TRUE(run.stop(SIGTERM)) << run.err();
  expect_all_stopped(run, json);
}

// PipeWire's pw-link now and then hangs on its way out, the link made. Here its last link does:
// the script takes the link as made, and the hung pw-link is not left behind.
TEST_F(RunScriptPipeWire, links_the_demo_graph_when_pw_link_hangs_on_its_way_out) {
  const TempDir tools("palvex-run-tools");
  const std::string links = tools.file("links"), hung_pid = tools.file("hung.pid");
  write_file(tools.file("pw-link"),
             "#!/usr/bin/env bash\n"
             "PATH=${PATH#*:}  # the real pw-link comes after this folder\n"
             "pw-link \"$@\" || exit\n"
             "case $1 in -*) exit 0 ;; esac\n"
             "echo \"$@\" >>" +
                 links +
                 "\n"
                 "[ \"$(wc -l <" +
                 links +
                 ")\" = 4 ] || exit 0\n"
                 "echo $$ >" +
                 hung_pid +
                 "\n"
                 "exec sleep 300\n");
  ::chmod(tools.file("pw-link").c_str(), 0755);
  const char* path = std::getenv("PATH");
  EnvChanges with_fake = env();
  with_fake["PATH"] = tools.path().string() + ":" + (path ? path : "/usr/bin:/bin");

  const int json = free_tcp_port();
  ScriptRun run(script_command({"--pipewire", "-j", std::to_string(json), "-w", "0"}), with_fake);
  ASSERT_TRUE(run.wait_for_stderr("nc 127.0.0.1 " + std::to_string(json) + " ", start_timeout))
      << run.err();
  EXPECT_TRUE(std::filesystem::exists(hung_pid)) << "the fake pw-link never hung";
  nlohmann::json peaks;
  EXPECT_TRUE(tone_through_engine(json, peaks)) << "last meters: " << peaks.dump() << "\n"
                                                << run.err();

  ASSERT_TRUE(run.stop(SIGTERM)) << run.err();
  expect_all_stopped(run, json);
  const pid_t pid = std::stoi(read_file(hung_pid));
  EXPECT_NE(::kill(pid, 0), 0) << "the hung pw-link is left behind";
}

// SIGTERM to the whole group while the script's watcher still waits for the engine: the watcher
// ends just as the script's wait for the host is cut short, which bash may not record. Several
// rounds, since whether it does depends on which of the two runs first.
TEST_F(RunScriptPipeWire, stops_on_sigterm_to_its_whole_process_group) {
  for (int round = 0; round < 10; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    const int json = free_tcp_port();
    std::vector<std::string> argv =
        script_command({"--pipewire", "-j", std::to_string(json), "-w", "0"});
    argv.insert(argv.begin(), "setsid");
    ScriptRun run(argv, env());
    ASSERT_TRUE(run.wait_for_stderr("scripts/run: linked: ", start_timeout)) << run.err();
    ASSERT_TRUE(run.stop_group(SIGTERM)) << run.err();
    expect_all_stopped(run, json);
  }
}

}  // namespace
