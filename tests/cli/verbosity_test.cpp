// PROC_VERB and -v: the environment texts held back until the level is known, and the warning.
#include <gtest/gtest.h>

#include <regex>

#include "cli_run.h"

namespace {

// Where the log line holding exactly this level and message starts; npos when none does.
size_t find_log_line(const std::string& err, const char* level, const std::string& message) {
  static const std::regex stamp(R"(^\d{4}-\d{2}-\d{2} \d{2}:\d{2}:\d{2}\.\d{3} $)");
  char padded[8];
  std::snprintf(padded, sizeof padded, "%-5s ", level);
  const std::string tail = padded + message + "\n";
  for (size_t at = err.find(tail); at != std::string::npos; at = err.find(tail, at + 1)) {
    const size_t start = err.rfind('\n', at);
    const size_t line = start == std::string::npos ? 0 : start + 1;
    if (std::regex_match(err.substr(line, at - line), stamp)) return line;
  }
  return std::string::npos;
}

const std::string banner = std::string("VELMOR Palvex Version ") + fake_version;

struct VerbosityCase {
  const char* name;
  EnvChanges env;
  std::vector<std::string> args;
  std::vector<std::string> deferred;  // logged at level 6 after the banner, in this order
  const char* warned;                 // the PROC_VERB text warned about, or null
};

TEST(Verbosity, deferred_texts_appear_from_level_six_on) {
  const VerbosityCase cases[] = {
      {"all four at -vv, raw texts",
       {{"PROC_PORT", "70000"}, {"HTTP_PORT", "12ab"}, {"HTTPS_PORT", "abc"}, {"PROC_VERB", "-vv"}},
       {},
       {"ENV proc port 70000", "ENV http port 12ab", "ENV https port abc", "ENV PROC_VERB -vv"},
       nullptr},
      {"PROC_VERB -v is level 5", {{"PROC_PORT", "6000"}, {"PROC_VERB", "-v"}}, {}, {}, nullptr},
      {"-v adds to PROC_VERB",
       {{"PROC_PORT", "6000"}, {"PROC_VERB", "-v"}},
       {"-v"},
       {"ENV proc port 6000", "ENV PROC_VERB -v"},
       nullptr},
      {"-v -v", {{"PROC_PORT", "6000"}}, {"-v", "-v"}, {"ENV proc port 6000"}, nullptr},
      {"-vv", {{"HTTPS_PORT", "8443"}}, {"-vv"}, {"ENV https port 8443"}, nullptr},
      {"--verbose twice",
       {{"HTTP_PORT", "8080"}},
       {"--verbose", "--verbose"},
       {"ENV http port 8080"},
       nullptr},
      {"one -v is level 5", {{"PROC_PORT", "6000"}}, {"-v"}, {}, nullptr},
      {"highest PROC_VERB", {{"PROC_VERB", "-vvvvvv"}}, {"-v"}, {"ENV PROC_VERB -vvvvvv"}, nullptr},
      {"empty texts add nothing",
       {{"PROC_PORT", ""}, {"HTTP_PORT", ""}, {"HTTPS_PORT", ""}, {"PROC_VERB", ""}},
       {"-vv"},
       {},
       nullptr},
      {"upper-case -V is unknown", {{"PROC_VERB", "-V"}}, {"-vv"}, {"ENV PROC_VERB -V"}, "-V"},
      {"seven v is unknown", {{"PROC_VERB", "-vvvvvvv"}}, {}, {}, "-vvvvvvv"},
      {"unknown text resets to 4",
       {{"PROC_VERB", "verbose"}, {"PROC_PORT", "1"}},
       {"-v"},
       {},
       "verbose"},
  };
  for (const AudioHost& host : both_hosts()) {
    for (const VerbosityCase& c : cases) {
      SCOPED_TRACE(std::string(host.program) + ": " + c.name);
      HostRunner runner;
      const ProcessResult result = runner.run(host, c.env, c.args);
      const std::string& err = result.err;
      const size_t banner_at = find_log_line(err, "INFO", banner);
      ASSERT_NE(banner_at, std::string::npos) << err;
      size_t previous = banner_at;
      for (const std::string& text : c.deferred) {
        const size_t at = find_log_line(err, "VERB2", text);
        ASSERT_NE(at, std::string::npos) << text << "\n" << err;
        EXPECT_GT(at, previous) << text << "\n" << err;
        previous = at;
      }
      if (c.deferred.empty()) {
        EXPECT_EQ(err.find("VERB2 ENV "), std::string::npos) << err;
      }
      const size_t warning =
          c.warned == nullptr
              ? std::string::npos
              : find_log_line(err, "WARN", std::string("ENV PROC_VERB unknown ") + c.warned);
      if (c.warned != nullptr) {
        ASSERT_NE(warning, std::string::npos) << err;
        EXPECT_LT(warning, banner_at) << "the warning comes from the environment stage";
      } else {
        EXPECT_EQ(err.find("ENV PROC_VERB unknown"), std::string::npos) << err;
      }
    }
  }
}

// The warning is written as the environment is read, so it precedes even the help text's exit.
TEST(Verbosity, unknown_proc_verb_warns_also_before_help) {
  for (const AudioHost& host : both_hosts()) {
    SCOPED_TRACE(host.program);
    HostRunner runner;
    const ProcessResult result = runner.run(host, {{"PROC_VERB", "-V"}}, {"-h"});
    ASSERT_TRUE(result.exited);
    EXPECT_EQ(result.status, 0);
    HelpValues shown;
    shown.proc_verb = "-V";
    EXPECT_EQ(result.out, expected_help(host, shown));
    EXPECT_EQ(find_log_line(result.err, "WARN", "ENV PROC_VERB unknown -V"), 0u) << result.err;
    EXPECT_EQ(std::count(result.err.begin(), result.err.end(), '\n'), 1) << result.err;
  }
}

}  // namespace
