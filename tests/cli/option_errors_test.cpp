// Option errors: one " option " line on standard error, status 1, nothing on standard output.
#include <gtest/gtest.h>

#include <algorithm>

#include "cli_run.h"

namespace {

struct ErrorCase {
  const char* name;
  Hosts hosts;
  std::vector<std::string> args;
  const char* message;  // our line, without its newline
};

void expect_option_error(const ProcessResult& result) {
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.status, 1);
  EXPECT_EQ(result.out, "");
}

// getopt_long's failures: the C library's diagnostic comes first, our line right after it.
TEST(OptionErrors, c_library_diagnostic_then_our_line) {
  const ErrorCase cases[] = {
      {"unknown short option", Hosts::both, {"-x"}, " option x is unknown"},
      {"unknown short option after good ones",
       Hosts::both,
       {"-j", "6000", "-C", "n", "-x"},
       " option x is unknown"},
      {"question mark", Hosts::jack, {"-?"}, " option ? is unknown"},
      {"unknown option before -h", Hosts::both, {"-x", "-h"}, " option x is unknown"},
      {"-j as the last argument", Hosts::both, {"-j"}, " option j is unknown"},
      {"-a as the last argument", Hosts::jack, {"-a", "k=v", "-a"}, " option a is unknown"},
      {"-C as the last argument", Hosts::pipewire, {"-C"}, " option C is unknown"},
      {"--jsonport without argument", Hosts::jack, {"--jsonport"}, " option j is unknown"},
      {"argument to --version", Hosts::both, {"--version=x"}, " option V is unknown"},
      {"argument to --help", Hosts::jack, {"--help=x"}, " option h is unknown"},
      {"argument to --storero", Hosts::pipewire, {"--storero=1"}, " option R is unknown"},
      // No option character for a long name: the C library has just named it.
      {"unknown long option", Hosts::both, {"--bogus"}, " option ? is unknown"},
      {"ambiguous --st", Hosts::both, {"--st"}, " option ? is unknown"},
      {"ambiguous --stor", Hosts::jack, {"--stor=x"}, " option ? is unknown"},
      {"ambiguous --htt", Hosts::both, {"--htt=80"}, " option ? is unknown"},
      {"ambiguous --ver", Hosts::jack, {"--ver"}, " option ? is unknown"},
      {"-S on the PipeWire host", Hosts::pipewire, {"-S", "sess"}, " option S is unknown"},
      {"--session on the PipeWire host",
       Hosts::pipewire,
       {"--session=sess"},
       " option ? is unknown"},
  };
  for (const ErrorCase& c : cases) {
    for (const AudioHost& host : hosts_of(c.hosts)) {
      SCOPED_TRACE(std::string(host.program) + ": " + c.name);
      HostRunner runner;
      ProcessResult result = runner.run(host, {}, c.args);
      expect_option_error(result);
      const std::string ours = std::string(c.message) + "\n";
      ASSERT_GT(result.err.size(), ours.size());
      EXPECT_EQ(result.err.substr(result.err.size() - ours.size()), ours);
      const std::string diagnostic = result.err.substr(0, result.err.size() - ours.size());
      EXPECT_EQ(diagnostic.rfind(program_path(host) + ": ", 0), 0u) << diagnostic;
      EXPECT_EQ(std::count(diagnostic.begin(), diagnostic.end(), '\n'), 1) << diagnostic;
      EXPECT_EQ(diagnostic.back(), '\n');
      EXPECT_EQ(result.err.find('\0'), std::string::npos);
    }
  }
}

// Pairs are checked by the host alone: only its own line.
TEST(OptionErrors, pair_without_equals_sign_names_the_letter) {
  const ErrorCase cases[] = {
      {"-a without =", Hosts::both, {"-a", "k"}, " option a needs key=value format"},
      {"-a empty", Hosts::both, {"-a", ""}, " option a needs key=value format"},
      {"--param without =", Hosts::jack, {"--param=k"}, " option a needs key=value format"},
      {"--param empty", Hosts::pipewire, {"--param="}, " option a needs key=value format"},
      {"-m without =", Hosts::both, {"-m", "k"}, " option m needs key=value format"},
      {"-m empty", Hosts::jack, {"-m", ""}, " option m needs key=value format"},
      {"--meta without =", Hosts::pipewire, {"--meta", "key"}, " option m needs key=value format"},
      {"bad pair after good ones",
       Hosts::jack,
       {"-a", "k=v", "-m", "=", "-m", "x"},
       " option m needs key=value format"},
      {"bad pair before -h", Hosts::both, {"-a", "k", "-h"}, " option a needs key=value format"},
  };
  for (const ErrorCase& c : cases) {
    for (const AudioHost& host : hosts_of(c.hosts)) {
      SCOPED_TRACE(std::string(host.program) + ": " + c.name);
      HostRunner runner;
      ProcessResult result = runner.run(host, {}, c.args);
      expect_option_error(result);
      EXPECT_EQ(result.err, std::string(c.message) + "\n");
    }
  }
}

}  // namespace
