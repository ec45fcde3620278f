// The settings stage in-process, on every path that does not end the program.
#include <getopt.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host_options.h"

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

HostSettings run_stage(HostVariant variant, const Env& env, std::vector<std::string> args) {
  StageEnvironment scoped(env);
  args.insert(args.begin(), "palvex-test");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(arg.data());
  argv.push_back(nullptr);
  optind = 0;  // a fresh scan, as in a new process
  return read_host_settings(static_cast<int>(args.size()), argv.data(), variant);
}

HostSettings defaults(HostVariant variant) {
  HostSettings settings;
  settings.state_dir = "/usr/share/velmorproc";
  settings.client_name = variant == HostVariant::jack ? "palvex" : "";
  return settings;
}

void expect_same(const HostSettings& got, const HostSettings& want) {
  EXPECT_EQ(got.state_filename, want.state_filename);
  EXPECT_EQ(got.onair_filename, want.onair_filename);
  EXPECT_EQ(got.storage_ro, want.storage_ro);
  EXPECT_EQ(got.state_ro, want.state_ro);
  EXPECT_EQ(got.params, want.params);
  EXPECT_EQ(got.metas, want.metas);
  EXPECT_EQ(got.state_dir, want.state_dir);
  EXPECT_EQ(got.json_port, want.json_port);
  EXPECT_EQ(got.http_port, want.http_port);
  EXPECT_EQ(got.https_port, want.https_port);
  EXPECT_EQ(got.client_name, want.client_name);
  EXPECT_EQ(got.session_id, want.session_id);
  EXPECT_EQ(got.verbosity, want.verbosity);
  EXPECT_EQ(got.deferred_texts, want.deferred_texts);
}

struct StageCase {
  const char* name;
  HostVariant variant;
  Env env;
  std::vector<std::string> args;
  std::function<void(HostSettings&)> change;  // applied to the variant's defaults
};

const auto jack = HostVariant::jack;
const auto pipewire = HostVariant::pipewire;

TEST(ReadHostSettings, EnvironmentAndOptionsFillTheSettings) {
  const StageCase cases[] = {
      {"nothing set, JACK", jack, {}, {}, [](HostSettings&) {}},
      {"nothing set, PipeWire", pipewire, {}, {}, [](HostSettings&) {}},
      {"empty STATE_DIR is kept", jack, {{"STATE_DIR", ""}}, {},
       [](HostSettings& s) { s.state_dir = ""; }},
      {"-D overrides STATE_DIR", jack, {{"STATE_DIR", "/srv/a"}}, {"-D", "/srv/b"},
       [](HostSettings& s) { s.state_dir = "/srv/b"; }},
      {"ports and verbosity from the environment", jack,
       {{"PROC_PORT", "70000"}, {"HTTP_PORT", "-1"}, {"HTTPS_PORT", "12ab"},
        {"PROC_VERB", "-vvvv"}},
       {},
       [](HostSettings& s) {
         s.json_port = 4464;
         s.http_port = 4294967295u;
         s.https_port = 12;
         s.verbosity = 8;
         s.deferred_texts = {"ENV proc port 70000", "ENV http port -1", "ENV https port 12ab",
                             "ENV PROC_VERB -vvvv"};
       }},
      {"empty texts count as unset", jack,
       {{"PROC_PORT", ""}, {"HTTP_PORT", ""}, {"HTTPS_PORT", ""}, {"PROC_VERB", ""}}, {},
       [](HostSettings&) {}},
      {"a port text without digits gives 0 but is shown raw", pipewire,
       {{"PROC_PORT", "abc"}, {"HTTP_PORT", " 80"}}, {},
       [](HostSettings& s) {
         s.http_port = 80;
         s.deferred_texts = {"ENV proc port abc", "ENV http port  80"};
       }},
      {"environment numbers stop at 32 bits", jack,
       {{"PROC_PORT", "99999999999"}, {"HTTP_PORT", "99999999999"},
        {"HTTPS_PORT", "-99999999999"}},
       {},
       [](HostSettings& s) {
         s.json_port = 65535;
         s.http_port = 2147483647u;
         s.https_port = 2147483648u;
         s.deferred_texts = {"ENV proc port 99999999999", "ENV http port 99999999999",
                             "ENV https port -99999999999"};
       }},
      {"seven v is not a PROC_VERB form", jack, {{"PROC_VERB", "-vvvvvvv"}}, {},
       [](HostSettings& s) { s.deferred_texts = {"ENV PROC_VERB -vvvvvvv"}; }},
      {"PROC_VERB is case-sensitive", jack, {{"PROC_VERB", "-V"}}, {},
       [](HostSettings& s) { s.deferred_texts = {"ENV PROC_VERB -V"}; }},
      {"PROC_VERB is compared whole", jack, {{"PROC_VERB", " -v"}}, {},
       [](HostSettings& s) { s.deferred_texts = {"ENV PROC_VERB  -v"}; }},
      {"-v stops at 10", jack, {{"PROC_VERB", "-vvvvvv"}}, {"-v", "--verbose"},
       [](HostSettings& s) {
         s.verbosity = 10;
         s.deferred_texts = {"ENV PROC_VERB -vvvvvv"};
       }},
      {"-v adds to PROC_VERB", jack, {{"PROC_VERB", "-v"}}, {"-v"},
       [](HostSettings& s) {
         s.verbosity = 6;
         s.deferred_texts = {"ENV PROC_VERB -v"};
       }},
      {"-v -v", jack, {}, {"-v", "-v"}, [](HostSettings& s) { s.verbosity = 6; }},
      {"-vv", pipewire, {}, {"-vv"}, [](HostSettings& s) { s.verbosity = 6; }},
      {"--verbose twice", jack, {}, {"--verbose", "--verbose"},
       [](HostSettings& s) { s.verbosity = 6; }},
      {"many -v", jack, {}, {"-vvvvvvvvvvvv"}, [](HostSettings& s) { s.verbosity = 10; }},
      {"every short option", jack, {},
       {"-N", "s.st", "-O", "o.st", "-R", "-r", "-a", "k=v", "-a", "=x", "-a", "k=w", "-m",
        "m=1", "-m", "n=", "-C", "one", "-C", "two", "-S", "sess", "-j", "6000", "-w", "8080",
        "-s", "8443", "-D", "/srv/x"},
       [](HostSettings& s) {
         s.state_filename = "s.st";
         s.onair_filename = "o.st";
         s.storage_ro = s.state_ro = true;
         s.params = {{"k", "v"}, {"", "x"}, {"k", "w"}};
         s.metas = {{"m", "1"}, {"n", ""}};
         s.client_name = "two";
         s.session_id = "sess";
         s.json_port = 6000;
         s.http_port = 8080;
         s.https_port = 8443;
         s.state_dir = "/srv/x";
       }},
      {"every long option", jack, {},
       {"--state=s.st", "--onair=o.st", "--storero", "--statero", "--param=a=b=c",
        "--meta=m=1", "--name=n", "--session=x", "--jsonport=1", "--http=2", "--https", "3",
        "--store=/d"},
       [](HostSettings& s) {
         s.state_filename = "s.st";
         s.onair_filename = "o.st";
         s.storage_ro = s.state_ro = true;
         s.params = {{"a", "b=c"}};
         s.metas = {{"m", "1"}};
         s.client_name = "n";
         s.session_id = "x";
         s.json_port = 1;
         s.http_port = 2;
         s.https_port = 3;
         s.state_dir = "/d";
       }},
      {"unique abbreviations", jack, {},
       {"--json=6000", "--sess=x", "--na", "n", "--par=a=b", "--me=c=d", "--verb", "--onai=o"},
       [](HostSettings& s) {
         s.json_port = 6000;
         s.session_id = "x";
         s.client_name = "n";
         s.params = {{"a", "b"}};
         s.metas = {{"c", "d"}};
         s.verbosity = 5;
         s.onair_filename = "o";
       }},
      {"attached short arguments", pipewire, {}, {"-j6000", "-Cpw", "-ak=v", "-Rr"},
       [](HostSettings& s) {
         s.json_port = 6000;
         s.client_name = "pw";
         s.params = {{"k", "v"}};
         s.storage_ro = s.state_ro = true;
       }},
      {"words that are not options are ignored anywhere", jack, {},
       {"first", "-j", "6000", "middle", "-C", "x", "last"},
       [](HostSettings& s) {
         s.json_port = 6000;
         s.client_name = "x";
       }},
      {"-- ends the options", jack, {}, {"-C", "x", "--", "-j", "6000"},
       [](HostSettings& s) { s.client_name = "x"; }},
      {"blank -j keeps the environment's port", jack, {{"PROC_PORT", "7000"}},
       {"-j", "", "-w", " "},
       [](HostSettings& s) {
         s.json_port = 7000;
         s.deferred_texts = {"ENV proc port 7000"};
       }},
      {"-j abc switches the environment's port off", jack, {{"PROC_PORT", "7000"}},
       {"-j", "abc"},
       [](HostSettings& s) { s.deferred_texts = {"ENV proc port 7000"}; }},
      {"option ports saturate", pipewire, {}, {"-j", "70000", "-w", "99999999999", "-s", "-1"},
       [](HostSettings& s) {
         s.json_port = 65535;
         s.http_port = 4294967295u;
         s.https_port = 4294967295u;
       }},
      {"later options win", jack, {}, {"-j", "1", "-j", "2", "-N", "a", "-N", "b"},
       [](HostSettings& s) {
         s.json_port = 2;
         s.state_filename = "b";
       }},
  };
  for (const StageCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostSettings want = defaults(c.variant);
    c.change(want);
    expect_same(run_stage(c.variant, c.env, c.args), want);
  }
}

}  // namespace
