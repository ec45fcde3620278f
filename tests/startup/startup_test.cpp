// Start-up of both audio hosts as an operator sees it: banner, deferred texts, format checks.
// No sound server is reachable here; the checks stop where the sound-server side begins.
#include <gtest/gtest.h>
#include <unistd.h>

#include <regex>
#include <string>
#include <vector>

#include "engine_trace.h"
#include "process.h"
#include "temp_dir.h"

namespace {

using Lines = std::vector<std::string>;

const std::regex line_format(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (FATAL|ERROR|WARN |INFO |VERB |VERB[2-5]|DEBUG|NONE ) (.*))");

struct StartedHost {
  ProcessResult result;
  Lines trace;
  Lines log;  // "LEVEL|message" of each stderr line in the log format, in order
};

class Startup : public testing::TestWithParam<const char*> {
protected:
  StartedHost run(EnvChanges extra, const Lines& args = {}) {
    EnvChanges env = clean_palvex_env();
    env["LD_LIBRARY_PATH"] = PALVEX_FAKE_LIB_DIR;
    env["PALVEX_FAKE_TRACE"] = dir.file("trace");
    // Never reach a sound server of this machine.
    env["JACK_NO_START_SERVER"] = "1";
    env["JACK_DEFAULT_SERVER"] = "palvex-test-none-" + std::to_string(getpid());
    env["XDG_RUNTIME_DIR"] = runtime.path().string();
    env["PIPEWIRE_RUNTIME_DIR"] = runtime.path().string();
    env["PIPEWIRE_REMOTE"] = std::nullopt;
    for (const auto& [name, value] : extra) env[name] = value;
    Lines argv = {bin_path(GetParam())};
    argv.insert(argv.end(), args.begin(), args.end());

    StartedHost r;
    r.result = run_process(argv, env);
    r.trace = split_lines(read_file(dir.file("trace")));
    for (const std::string& line : split_lines(r.result.err)) {
      std::smatch parts;
      if (std::regex_match(line, parts, line_format))
        r.log.push_back(parts[1].str() + "|" + parts[2].str());
    }
    return r;
  }

  TempDir dir{"palvex-startup"};
  TempDir runtime{"palvex-runtime"};  // empty: no sound server sockets
};

const Lines start_calls(int verbosity) {
  return {"palvex_SetLogSeverity " + std::to_string(verbosity), "palvex_SetLoggerCallback cb",
          "palvex_GetVersion"};
}

const Lines format_queries = {"palvex_GetSampleRate", "palvex_GetChunkSizeInFrames",
                              "palvex_GetChannelCount", "palvex_GetAudioInputCount",
                              "palvex_GetAudioOutputCount"};

Lines head(const Lines& lines, size_t count) {
  return Lines(lines.begin(), lines.begin() + static_cast<long>(std::min(count, lines.size())));
}

long position(const Lines& lines, const std::string& entry) { return index_of(lines, entry); }

struct FormatCase {
  const char* variable;
  const char* value;
  const char* error_text;
  size_t queries_made;
};

const FormatCase format_cases[] = {
    {"PALVEX_FAKE_SAMPLE_RATE", "44100", "Bad library sampling rate", 1},
    {"PALVEX_FAKE_CHUNK", "128", "Bad library frame size", 2},
    {"PALVEX_FAKE_CHANNELS", "1", "Bad library channel count", 3},
    {"PALVEX_FAKE_INPUTS", "2", "Bad library input count", 4},
    {"PALVEX_FAKE_OUTPUTS", "0", "Bad library output count", 5},
};

TEST_P(Startup, a_wrong_engine_format_is_one_error_line_and_status_one) {
  for (const FormatCase& c : format_cases) {
    SCOPED_TRACE(std::string(c.variable) + "=" + c.value);
    unlink(dir.file("trace").c_str());
    const StartedHost r = run({{c.variable, c.value}});
    EXPECT_TRUE(r.result.exited);
    EXPECT_EQ(r.result.status, 1);
    EXPECT_EQ(r.log, (Lines{"INFO |VELMOR Palvex Version 0.0-fake",
                            std::string("ERROR|") + c.error_text}));
    // The later queries are not made, and nothing else follows: no instance, no server.
    Lines expected = start_calls(4);
    expected.insert(expected.end(), format_queries.begin(),
                    format_queries.begin() + static_cast<long>(c.queries_made));
    EXPECT_EQ(r.trace, expected);
  }
}

TEST_P(Startup, banner_at_info_and_no_deferred_texts_at_the_default_level) {
  const StartedHost r = run({{"PALVEX_FAKE_VERSION", "3.14-test"}, {"PROC_PORT", "5011"}});
  EXPECT_EQ(head(r.log, 1), (Lines{"INFO |VELMOR Palvex Version 3.14-test"}));
  for (const std::string& line : r.log) EXPECT_EQ(line.find("ENV "), std::string::npos) << line;
  Lines expected = start_calls(4);
  expected.insert(expected.end(), format_queries.begin(), format_queries.end());
  EXPECT_EQ(head(r.trace, expected.size()), expected);
}

TEST_P(Startup, deferred_environment_texts_follow_the_banner_in_their_order) {
  const StartedHost r = run({{"PROC_VERB", "loud"},
                             {"PROC_PORT", "12ab"},
                             {"HTTP_PORT", "8080"},
                             {"HTTPS_PORT", "8443"},
                             {"STATE_DIR", "/nowhere"}},
                            {"-vv"});
  // The unknown PROC_VERB is reported at once, before the level is known.
  EXPECT_EQ(head(r.log, 6),
            (Lines{"WARN |ENV PROC_VERB unknown loud", "INFO |VELMOR Palvex Version 0.0-fake",
                   "VERB2|ENV proc port 12ab", "VERB2|ENV http port 8080",
                   "VERB2|ENV https port 8443", "VERB2|ENV PROC_VERB loud"}));
  Lines expected = start_calls(6);
  expected.insert(expected.end(), format_queries.begin(), format_queries.end());
  EXPECT_EQ(head(r.trace, expected.size()), expected);
}

TEST_P(Startup, only_set_variables_give_deferred_texts) {
  const StartedHost r = run({{"HTTPS_PORT", "8443"}, {"PROC_VERB", "-vv"}, {"HTTP_PORT", ""}});
  EXPECT_EQ(head(r.log, 3), (Lines{"INFO |VELMOR Palvex Version 0.0-fake",
                                   "VERB2|ENV https port 8443", "VERB2|ENV PROC_VERB -vv"}));
  EXPECT_EQ(head(r.trace, 1), (Lines{"palvex_SetLogSeverity 6"}));
}

struct VerbosityCase {
  std::optional<std::string> proc_verb;
  Lines args;
  int severity;
};

const VerbosityCase verbosity_cases[] = {
    {std::nullopt, {}, 4},
    {std::string("-vvvv"), {}, 8},
    {std::string("-vvvvvvv"), {}, 4},  // unknown: warned about, default level
    {std::nullopt, {"-v", "--verbose"}, 6},
    {std::string("-vvvvvv"), {"-v"}, 10},
};

TEST_P(Startup, the_engine_gets_the_hosts_verbosity_before_the_log_bridge) {
  for (const VerbosityCase& c : verbosity_cases) {
    SCOPED_TRACE("PROC_VERB " + c.proc_verb.value_or("unset"));
    unlink(dir.file("trace").c_str());
    // A format mismatch ends the run before the sound server: every line is the host's own.
    const StartedHost r = run({{"PROC_VERB", c.proc_verb}, {"PALVEX_FAKE_OUTPUTS", "2"}}, c.args);
    EXPECT_EQ(head(r.trace, 2), (Lines{"palvex_SetLogSeverity " + std::to_string(c.severity),
                                       "palvex_SetLoggerCallback cb"}));
    const bool warned = position(r.log, "WARN |ENV PROC_VERB unknown -vvvvvvv") == 0;
    EXPECT_EQ(warned, c.proc_verb == std::string("-vvvvvvv"));
  }
}

TEST_P(Startup, every_line_is_in_the_log_format) {
  const StartedHost r = run({{"PROC_VERB", "bad"},
                             {"PROC_PORT", "7000"},
                             {"HTTP_PORT", "8080"},
                             {"PALVEX_FAKE_LOG", "3:engine warning|4:NULL|-2:odd severity|6:"},
                             {"PALVEX_FAKE_CHANNELS", "6"}},
                            {"-vvvvvv", "-m", "k=v", "-a", "p=q"});
  EXPECT_EQ(r.result.status, 1);
  EXPECT_TRUE(r.result.out.empty()) << r.result.out;
  const Lines lines = split_lines(r.result.err);
  // The host's own six lines; the engine's lines come from a thread of its own and may or may
  // not make it out before the format check ends the program.
  EXPECT_GE(lines.size(), 6u);
  for (const std::string& line : lines) EXPECT_TRUE(std::regex_match(line, line_format)) << line;
  EXPECT_GE(position(r.log, "ERROR|Bad library channel count"), 0);
}

INSTANTIATE_TEST_SUITE_P(Hosts, Startup, testing::Values("palvex-jack", "palvex-pipewire"),
                         [](const auto& info) {
                           return std::string(info.param) == "palvex-jack" ? "Jack" : "PipeWire";
                         });

}  // namespace
