// The options stage in-process: the settings it fills, and the status it hands main.
#include <getopt.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host_options.h"
#include "jack_description.h"
#include "option_values.h"
#include "pw_description.h"

namespace {

const char* const stage_variables[] = {"STATE_DIR", "PROC_PORT", "HTTP_PORT", "HTTPS_PORT",
                                       "PROC_VERB"};

using Env = std::map<std::string, std::string>;  // set to these texts; the others are unset

// Sets exactly the given variables of the stage for one case, and clears them again after.
class StageEnvironment {
public:
  explicit StageEnvironment(const Env& env) {
    for (const char* name : stage_variables) unsetenv(name);
    for (const auto& [name, value] : env) setenv(name.c_str(), value.c_str(), 1);
  }
  ~StageEnvironment() {
    for (const char* name : stage_variables) unsetenv(name);
  }
};

// A stage that ended the program itself would end this test with status 0, a pass to CTest.
bool inside_stage = false;
void fail_if_ended_inside_stage() {
  if (!inside_stage) return;
  std::fputs("the options stage ended the program instead of returning its status\n", stderr);
  std::_Exit(1);
}

// The stage's status; settings holds what it read.
int run_stage(const HostDescription& host, const Env& env, std::vector<std::string> args,
              HostSettings& settings) {
  static const int guarded = std::atexit(fail_if_ended_inside_stage);
  EXPECT_EQ(guarded, 0);
  StageEnvironment scoped(env);
  args.insert(args.begin(), "palvex-test");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  optind = 0;  // a fresh scan, as in a new process
  inside_stage = true;
  const int status = read_host_options(static_cast<int>(args.size()), argv.data(), host, settings);
  inside_stage = false;
  return status;
}

HostSettings defaults(const HostDescription& host) {
  HostSettings settings;
  settings.config.state_dir = "/usr/share/velmorproc";
  settings.client_name = host.client_name;
  return settings;
}

void expect_same(const HostSettings& got, const HostSettings& want) {
  EXPECT_EQ(got.config.state_filename, want.config.state_filename);
  EXPECT_EQ(got.config.onair_filename, want.config.onair_filename);
  EXPECT_EQ(got.config.storage_ro, want.config.storage_ro);
  EXPECT_EQ(got.config.state_ro, want.config.state_ro);
  EXPECT_EQ(got.config.params, want.config.params);
  EXPECT_EQ(got.config.metas, want.config.metas);
  EXPECT_EQ(got.config.state_dir.native(), want.config.state_dir.native());
  EXPECT_EQ(got.config.json_port, want.config.json_port);
  EXPECT_EQ(got.config.http_port, want.config.http_port);
  EXPECT_EQ(got.config.https_port, want.config.https_port);
  EXPECT_EQ(got.client_name, want.client_name);
  EXPECT_EQ(got.session_id, want.session_id);
  EXPECT_EQ(got.verbosity, want.verbosity);
  EXPECT_EQ(got.deferred_texts, want.deferred_texts);
}

struct StageCase {
  const char* name;
  const HostDescription& host;
  Env env;
  std::vector<std::string> args;
  std::function<void(HostSettings&)> change;  // applied to the variant's defaults
};

const HostDescription& jack = jack_description;
const HostDescription& pipewire = pipewire_description;

TEST(ReadHostOptions, environment_and_options_fill_the_settings) {
  const StageCase cases[] = {
      {"nothing set, JACK", jack, {}, {}, [](HostSettings&) {}},
      {"nothing set, PipeWire", pipewire, {}, {}, [](HostSettings&) {}},
      {"empty STATE_DIR is kept",
       jack,
       {{"STATE_DIR", ""}},
       {},
       [](HostSettings& s) { s.config.state_dir = ""; }},
      {"-D overrides STATE_DIR",
       jack,
       {{"STATE_DIR", "/srv/a"}},
       {"-D", "/srv/b"},
       [](HostSettings& s) { s.config.state_dir = "/srv/b"; }},
      {"ports and verbosity from the environment",
       jack,
       {{"PROC_PORT", "70000"},
        {"HTTP_PORT", "-1"},
        {"HTTPS_PORT", "12ab"},
        {"PROC_VERB", "-vvvv"}},
       {},
       [](HostSettings& s) {
         s.config.json_port = 4464;
         s.config.http_port = 4294967295u;
         s.config.https_port = 12;
         s.verbosity = 8;
         s.deferred_texts = {"ENV proc port 70000", "ENV http port -1", "ENV https port 12ab",
                             "ENV PROC_VERB -vvvv"};
       }},
      {"empty texts count as unset",
       jack,
       {{"PROC_PORT", ""}, {"HTTP_PORT", ""}, {"HTTPS_PORT", ""}, {"PROC_VERB", ""}},
       {},
       [](HostSettings&) {}},
      {"a port text without digits gives 0 but is shown raw",
       pipewire,
       {{"PROC_PORT", "abc"}, {"HTTP_PORT", " 80"}},
       {},
       [](HostSettings& s) {
         s.config.http_port = 80;
         s.deferred_texts = {"ENV proc port abc", "ENV http port  80"};
       }},
      {"environment numbers stop at 32 bits",
       jack,
       {{"PROC_PORT", "99999999999"}, {"HTTP_PORT", "99999999999"}, {"HTTPS_PORT", "-99999999999"}},
       {},
       [](HostSettings& s) {
         s.config.json_port = 65535;
         s.config.http_port = 2147483647u;
         s.config.https_port = 2147483648u;
         s.deferred_texts = {"ENV proc port 99999999999", "ENV http port 99999999999",
                             "ENV https port -99999999999"};
       }},
      {"seven v is not a PROC_VERB form",
       jack,
       {{"PROC_VERB", "-vvvvvvv"}},
       {},
       [](HostSettings& s) { s.deferred_texts = {"ENV PROC_VERB -vvvvvvv"}; }},
      {"PROC_VERB is case-sensitive",
       jack,
       {{"PROC_VERB", "-V"}},
       {},
       [](HostSettings& s) { s.deferred_texts = {"ENV PROC_VERB -V"}; }},
      {"PROC_VERB is compared whole",
       jack,
       {{"PROC_VERB", " -v"}},
       {},
       [](HostSettings& s) { s.deferred_texts = {"ENV PROC_VERB  -v"}; }},
      {"-v stops at 10",
       jack,
       {{"PROC_VERB", "-vvvvvv"}},
       {"-v", "--verbose"},
       [](HostSettings& s) {
         s.verbosity = 10;
         s.deferred_texts = {"ENV PROC_VERB -vvvvvv"};
       }},
      {"-v adds to PROC_VERB",
       jack,
       {{"PROC_VERB", "-v"}},
       {"-v"},
       [](HostSettings& s) {
         s.verbosity = 6;
         s.deferred_texts = {"ENV PROC_VERB -v"};
       }},
      {"-v -v", jack, {}, {"-v", "-v"}, [](HostSettings& s) { s.verbosity = 6; }},
      {"-vv", pipewire, {}, {"-vv"}, [](HostSettings& s) { s.verbosity = 6; }},
      {"--verbose twice",
       jack,
       {},
       {"--verbose", "--verbose"},
       [](HostSettings& s) { s.verbosity = 6; }},
      {"many -v", jack, {}, {"-vvvvvvvvvvvv"}, [](HostSettings& s) { s.verbosity = 10; }},
      {"every short option",
       jack,
       {},
       {"-N", "s.st", "-O", "o.st", "-R", "-r",   "-a", "k=v",  "-a", "=x",
        "-a", "k=w",  "-m", "m=1",  "-m", "n=",   "-C", "one",  "-C", "two",
        "-S", "sess", "-j", "6000", "-w", "8080", "-s", "8443", "-D", "/srv/x"},
       [](HostSettings& s) {
         s.config.state_filename = "s.st";
         s.config.onair_filename = "o.st";
         s.config.storage_ro = s.config.state_ro = true;
         s.config.params = {{"k", "v"}, {"", "x"}, {"k", "w"}};
         s.config.metas = {{"m", "1"}, {"n", ""}};
         s.client_name = "two";
         s.session_id = "sess";
         s.config.json_port = 6000;
         s.config.http_port = 8080;
         s.config.https_port = 8443;
         s.config.state_dir = "/srv/x";
       }},
      {"every long option",
       jack,
       {},
       {"--state=s.st", "--onair=o.st", "--storero", "--statero", "--param=a=b=c", "--meta=m=1",
        "--name=n", "--session=x", "--jsonport=1", "--http=2", "--https", "3", "--store=/d"},
       [](HostSettings& s) {
         s.config.state_filename = "s.st";
         s.config.onair_filename = "o.st";
         s.config.storage_ro = s.config.state_ro = true;
         s.config.params = {{"a", "b=c"}};
         s.config.metas = {{"m", "1"}};
         s.client_name = "n";
         s.session_id = "x";
         s.config.json_port = 1;
         s.config.http_port = 2;
         s.config.https_port = 3;
         s.config.state_dir = "/d";
       }},
      {"unique abbreviations",
       jack,
       {},
       {"--json=6000", "--sess=x", "--na", "n", "--par=a=b", "--me=c=d", "--verb", "--onai=o"},
       [](HostSettings& s) {
         s.config.json_port = 6000;
         s.session_id = "x";
         s.client_name = "n";
         s.config.params = {{"a", "b"}};
         s.config.metas = {{"c", "d"}};
         s.verbosity = 5;
         s.config.onair_filename = "o";
       }},
      {"attached short arguments",
       pipewire,
       {},
       {"-j6000", "-Cpw", "-ak=v", "-Rr"},
       [](HostSettings& s) {
         s.config.json_port = 6000;
         s.client_name = "pw";
         s.config.params = {{"k", "v"}};
         s.config.storage_ro = s.config.state_ro = true;
       }},
      {"words that are not options are ignored anywhere",
       jack,
       {},
       {"first", "-j", "6000", "middle", "-C", "x", "last"},
       [](HostSettings& s) {
         s.config.json_port = 6000;
         s.client_name = "x";
       }},
      {"-- ends the options",
       jack,
       {},
       {"-C", "x", "--", "-j", "6000"},
       [](HostSettings& s) { s.client_name = "x"; }},
      {"blank -j keeps the environment's port",
       jack,
       {{"PROC_PORT", "7000"}},
       {"-j", "", "-w", " "},
       [](HostSettings& s) {
         s.config.json_port = 7000;
         s.deferred_texts = {"ENV proc port 7000"};
       }},
      {"-j abc switches the environment's port off",
       jack,
       {{"PROC_PORT", "7000"}},
       {"-j", "abc"},
       [](HostSettings& s) { s.deferred_texts = {"ENV proc port 7000"}; }},
      {"option ports saturate",
       pipewire,
       {},
       {"-j", "70000", "-w", "99999999999", "-s", "-1"},
       [](HostSettings& s) {
         s.config.json_port = 65535;
         s.config.http_port = 4294967295u;
         s.config.https_port = 4294967295u;
       }},
      {"later options win",
       jack,
       {},
       {"-j", "1", "-j", "2", "-N", "a", "-N", "b"},
       [](HostSettings& s) {
         s.config.json_port = 2;
         s.config.state_filename = "b";
       }},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostSettings want = defaults(c.host);
    c.change(want);
    HostSettings got;
    ASSERT_EQ(run_stage(c.host, c.env, c.args, got), options_go_on);
    expect_same(got, want);
  }
}

struct EndCase {
  const char* name;
  const HostDescription& host;
  std::vector<std::string> args;
  int status;
  size_t out_lines;      // on standard output, the version line first
  const char* err_tail;  // our line, which ends standard error; empty: nothing there
};

// Help, version and option errors hand main its status instead of ending the program here.
TEST(ReadHostOptions, help_version_and_errors_return_the_status_main_ends_with) {
  const EndCase cases[] = {
      {"-h, JACK", jack, {"-h"}, 0, 32, ""},
      {"-h, PipeWire", pipewire, {"--help"}, 0, 31, ""},
      {"-V", jack, {"-V"}, 0, 1, ""},
      {"-V before -h", pipewire, {"-j", "1", "-V", "-h"}, 0, 1, ""},
      {"-h before -V", jack, {"-h", "-V"}, 0, 32, ""},
      {"unknown option", jack, {"-C", "x", "-x", "-h"}, 1, 0, " option x is unknown\n"},
      {"-S on PipeWire", pipewire, {"-S", "s"}, 1, 0, " option S is unknown\n"},
      {"missing argument", pipewire, {"-j"}, 1, 0, " option j is unknown\n"},
      {"-a without =", jack, {"-a", "k", "-V"}, 1, 0, " option a needs key=value format\n"},
      {"-m empty", pipewire, {"-a", "k=v", "-m", ""}, 1, 0, " option m needs key=value format\n"},
  };
  for (const EndCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostSettings settings;
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const int status = run_stage(c.host, {}, c.args, settings);
    const std::string err = testing::internal::GetCapturedStderr();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(status, c.status);
    EXPECT_EQ(static_cast<size_t>(std::count(out.begin(), out.end(), '\n')), c.out_lines) << out;
    if (c.out_lines > 0) {
      EXPECT_EQ(out.rfind("VELMOR Palvex Version ", 0), 0u) << out;
    }
    const std::string tail = c.err_tail;
    if (tail.empty()) {
      EXPECT_EQ(err, "");
    } else {
      ASSERT_GE(err.size(), tail.size()) << err;
      EXPECT_EQ(err.substr(err.size() - tail.size()), tail);
    }
  }
}

}  // namespace
