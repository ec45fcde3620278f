// Help text and version line of both audio hosts, with the values in force where -h stands.
#include <gtest/gtest.h>

#include "cli_run.h"

namespace {

struct HelpCase {
  const char* name;
  Hosts hosts;
  EnvChanges env;
  std::vector<std::string> args;
  HelpValues shown;
};

HelpValues json(const char* port) {
  HelpValues values;
  values.json_port = port;
  return values;
}

HelpValues http(const char* port) {
  HelpValues values;
  values.http_port = port;
  return values;
}

HelpValues https(const char* port) {
  HelpValues values;
  values.https_port = port;
  return values;
}

HelpValues state_dir(const char* dir) {
  HelpValues values;
  values.state_dir = dir;
  return values;
}

HelpValues client(const char* name) {
  HelpValues values;
  values.client = name;
  return values;
}

HelpValues proc_verb(const char* text) {
  HelpValues values;
  values.proc_verb = text;
  return values;
}

const HelpCase help_cases[] = {
    {"nothing set", Hosts::both, {}, {"-h"}, {}},
    {"long form", Hosts::both, {}, {"--help"}, {}},
    {"abbreviated long form", Hosts::both, {}, {"--he"}, {}},
    // The environment's values.
    {"STATE_DIR", Hosts::both, {{"STATE_DIR", "/srv/palvex"}}, {"-h"}, state_dir("/srv/palvex")},
    {"empty STATE_DIR", Hosts::both, {{"STATE_DIR", ""}}, {"-h"}, state_dir("")},
    {"PROC_PORT low 16 bits", Hosts::both, {{"PROC_PORT", "70000"}}, {"-h"}, json("4464")},
    {"PROC_PORT trailing letters", Hosts::jack, {{"PROC_PORT", "12ab"}}, {"-h"}, json("12")},
    {"PROC_PORT without digits", Hosts::jack, {{"PROC_PORT", "abc"}}, {"-h"}, json("0")},
    {"PROC_PORT empty", Hosts::jack, {{"PROC_PORT", ""}}, {"-h"}, json("0")},
    {"PROC_PORT -1", Hosts::pipewire, {{"PROC_PORT", "-1"}}, {"-h"}, json("65535")},
    {"PROC_PORT beyond 32 bits",
     Hosts::jack,
     {{"PROC_PORT", "99999999999"}},
     {"-h"},
     json("65535")},
    {"HTTP_PORT -1", Hosts::both, {{"HTTP_PORT", "-1"}}, {"-h"}, http("4294967295")},
    {"HTTP_PORT beyond 32 bits",
     Hosts::jack,
     {{"HTTP_PORT", "99999999999"}},
     {"-h"},
     http("2147483647")},
    {"HTTP_PORT leading blank", Hosts::pipewire, {{"HTTP_PORT", "  8080"}}, {"-h"}, http("8080")},
    {"HTTPS_PORT", Hosts::both, {{"HTTPS_PORT", "443"}}, {"-h"}, https("443")},
    {"PROC_VERB shown raw", Hosts::both, {{"PROC_VERB", "-vvv"}}, {"-h"}, proc_verb("-vvv")},
    {"PROC_VERB empty", Hosts::jack, {{"PROC_VERB", ""}}, {"-h"}, {}},
    // Options before -h change what it shows.
    {"-j before -h", Hosts::both, {}, {"-j", "6000", "-h"}, json("6000")},
    {"-j after -h is never read",
     Hosts::both,
     {{"PROC_PORT", "7000"}},
     {"-h", "-j", "6000"},
     json("7000")},
    {"-j after -h, no environment", Hosts::jack, {}, {"-h", "-j", "6000"}, json("0")},
    {"-j saturates", Hosts::both, {}, {"-j", "70000", "-h"}, json("65535")},
    {"-j abc gives 0", Hosts::jack, {{"PROC_PORT", "5000"}}, {"-j", "abc", "-h"}, json("0")},
    {"-j empty keeps", Hosts::jack, {{"PROC_PORT", "5000"}}, {"-j", "", "-h"}, json("5000")},
    {"-j blank keeps", Hosts::pipewire, {{"PROC_PORT", "5000"}}, {"-j", " ", "-h"}, json("5000")},
    {"-j -1", Hosts::jack, {}, {"-j", "-1", "-h"}, json("65535")},
    {"-w hexadecimal reads 0", Hosts::both, {{"HTTP_PORT", "80"}}, {"-w", "0x50", "-h"}, http("0")},
    {"-w trailing letters", Hosts::jack, {}, {"-w", "8080abc", "-h"}, http("8080")},
    {"-w saturates", Hosts::jack, {}, {"-w", "99999999999", "-h"}, http("4294967295")},
    {"-w is 32 bits wide", Hosts::pipewire, {}, {"-w", "70000", "-h"}, http("70000")},
    {"-s -1", Hosts::jack, {}, {"-s", "-1", "-h"}, https("4294967295")},
    {"abbreviated --json", Hosts::both, {}, {"--json=6000", "-h"}, json("6000")},
    {"--jsonport separate argument", Hosts::jack, {}, {"--jsonport", "6000", "-h"}, json("6000")},
    {"--http is exact, not ambiguous", Hosts::both, {}, {"--http=8080", "-h"}, http("8080")},
    {"--https is exact", Hosts::jack, {}, {"--https=8443", "-h"}, https("8443")},
    {"-D before -h",
     Hosts::both,
     {{"STATE_DIR", "/srv/a"}},
     {"-D", "/srv/b", "-h"},
     state_dir("/srv/b")},
    {"last -C wins", Hosts::both, {}, {"-C", "one", "-C", "two", "-h"}, client("two")},
    {"--name", Hosts::pipewire, {}, {"--name=pw-node", "-h"}, client("pw-node")},
    {"non-options anywhere",
     Hosts::both,
     {},
     {"word", "-j", "6000", "other", "-h", "last"},
     json("6000")},
    // Nothing after -h is read, not even a fault.
    {"bad pair after -h", Hosts::both, {}, {"-h", "-a", "k"}, {}},
    {"unknown option after -h", Hosts::both, {}, {"-h", "--bogus", "-x"}, {}},
    {"missing argument after -h", Hosts::jack, {}, {"-h", "-j"}, {}},
};

TEST(HelpText, shows_the_values_in_force_where_help_stands) {
  for (const HelpCase& c : help_cases) {
    for (const AudioHost& host : hosts_of(c.hosts)) {
      SCOPED_TRACE(std::string(host.program) + ": " + c.name);
      HostRunner runner;
      ProcessResult result = runner.run(host, c.env, c.args);
      ASSERT_TRUE(result.exited) << "signal " << result.signal;
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out, expected_help(host, c.shown));
      EXPECT_EQ(result.err, "");
    }
  }
}

TEST(HelpText, jack_and_pipewire_differ_only_in_the_client_lines) {
  HostRunner runner;
  std::vector<std::string> jack = split_lines(runner.run(jack_host(), {}, {"-h"}).out);
  std::vector<std::string> pipewire = split_lines(runner.run(pipewire_host(), {}, {"-h"}).out);
  ASSERT_EQ(jack.size(), 32u);
  ASSERT_EQ(pipewire.size(), 31u);
  // Line 2 names the program itself; lines 3 and 4 (JACK) or 3 (PipeWire) name the client.
  jack.erase(jack.begin() + 1, jack.begin() + 4);
  pipewire.erase(pipewire.begin() + 1, pipewire.begin() + 3);
  EXPECT_EQ(jack, pipewire);
}

struct VersionCase {
  const char* name;
  EnvChanges env;
  std::vector<std::string> args;
  const char* out;
};

TEST(VersionLine, prints_the_engine_version_and_nothing_else) {
  const std::string line = std::string("VELMOR Palvex Version ") + fake_version + "\n";
  const VersionCase cases[] = {
      {"short form", {}, {"-V"}, line.c_str()},
      {"long form", {}, {"--version"}, line.c_str()},
      {"abbreviated", {}, {"--vers"}, line.c_str()},
      {"-V before -h", {}, {"-V", "-h"}, line.c_str()},
      {"options before -V", {}, {"-j", "6000", "-C", "x", "-V"}, line.c_str()},
      {"nothing after -V is read", {}, {"-V", "-x", "-a", "k"}, line.c_str()},
      {"the fake's own version",
       {{"PALVEX_FAKE_VERSION", std::nullopt}},
       {"-V"},
       "VELMOR Palvex Version 0.0-fake\n"},
      {"no version text from the engine",
       {{"PALVEX_FAKE_VERSION", "NULL"}},
       {"-V"},
       "VELMOR Palvex Version unknown\n"},
  };
  for (const VersionCase& c : cases) {
    for (const AudioHost& host : both_hosts()) {
      SCOPED_TRACE(std::string(host.program) + ": " + c.name);
      HostRunner runner;
      ProcessResult result = runner.run(host, c.env, c.args);
      ASSERT_TRUE(result.exited) << "signal " << result.signal;
      EXPECT_EQ(result.status, 0);
      EXPECT_EQ(result.out, c.out);
      EXPECT_EQ(result.err, "");
    }
  }
}

TEST(VersionLine, help_before_version_prints_only_the_help) {
  for (const AudioHost& host : both_hosts()) {
    SCOPED_TRACE(host.program);
    HostRunner runner;
    ProcessResult result = runner.run(host, {}, {"-h", "-V"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, expected_help(host, {}));
  }
}

}  // namespace
