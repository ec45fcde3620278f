// palvex-webfront's settings as the engine receives them, and its help, version and errors.
#include <gtest/gtest.h>
#include <signal.h>

#include "webfront_run.h"

namespace {

struct StartCase {
  const char* name;
  EnvChanges env;
  std::vector<std::string> args;
  std::vector<std::string> engine_calls;  // everything before palvex_Webserver_Status
};

std::ostream& operator<<(std::ostream& out, const StartCase& c) { return out << c.name; }

class WebfrontStart : public testing::TestWithParam<StartCase> {};

// What reaches the engine, in order: the pairs, the web server with its address and ports,
// the set freed right after; then the status, the wait, and the stop with 5000.
TEST_P(WebfrontStart, hands_the_settings_to_the_engine_in_order) {
  const StartCase& c = GetParam();
  FakeWebfront webfront(c.env);
  ASSERT_TRUE(webfront.start(c.args)) << webfront.child().stderr_text();
  ASSERT_TRUE(webfront.stop(SIGTERM));

  std::vector<std::string> expected = c.engine_calls;
  expected.push_back("palvex_Webserver_Status web1");
  expected.push_back("palvex_Webserver_Stop web1 5000");
  EXPECT_EQ(webfront.trace(), expected);
  const ProcessResult& result = webfront.child().result();
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.out, "") << "the front-end writes no log line";
  EXPECT_EQ(result.err, "") << "the front-end writes no log line";
}

std::vector<std::string> calls(const std::string& tcp2_args,
                               std::vector<std::string> set_parameters = {}) {
  std::vector<std::string> lines{"palvex_NewParameters"};
  for (const std::string& pair : set_parameters)
    lines.push_back("palvex_SetParameter set1 " + pair);
  lines.push_back("palvex_Webserver_tcp2 " + tcp2_args + " set1");
  lines.push_back("palvex_FreeParameters set1");
  return lines;
}

INSTANTIATE_TEST_SUITE_P(
    Settings, WebfrontStart,
    testing::Values(
        StartCase{"defaults", {}, {}, calls("8080 8443 \"palvex-host\" 5010")},
        StartCase{"environment",
                  {{"HTTP_PORT", "81"},
                   {"HTTPS_PORT", "444"},
                   {"PROC_PORT", "6000"},
                   {"PROC_IP", "10.1.2.3"}},
                  {},
                  calls("81 444 \"10.1.2.3\" 6000")},
        StartCase{"empty_and_letters_in_environment_give_0",
                  {{"HTTP_PORT", ""}, {"HTTPS_PORT", "abc"}, {"PROC_PORT", " 12ab"}},
                  {},
                  calls("0 0 \"palvex-host\" 12")},
        StartCase{"environment_sign_and_range",
                  {{"HTTP_PORT", "-1"}, {"HTTPS_PORT", "+7"}, {"PROC_PORT", "99999999999"}},
                  {},
                  calls("-1 7 \"palvex-host\" 2147483647")},
        StartCase{"empty_proc_ip_is_an_empty_address",
                  {{"PROC_IP", ""}},
                  {},
                  calls("8080 8443 \"\" 5010")},
        StartCase{"options_override_environment",
                  {{"PROC_PORT", "6000"}, {"PROC_IP", "env-host"}},
                  {"-i", "opt-host", "-p", "6001", "-w", "90", "-s", "91"},
                  calls("90 91 \"opt-host\" 6001")},
        StartCase{"long_options_both_forms",
                  {},
                  {"--ip=long-host", "--port", "7000", "--http=92", "--https", "93"},
                  calls("92 93 \"long-host\" 7000")},
        StartCase{"last_of_two_wins",
                  {},
                  {"-p", "1", "-p", "2", "-i", "a", "-i", "b"},
                  calls("8080 8443 \"b\" 2")},
        StartCase{"blank_arguments_keep_the_value",
                  {{"PROC_PORT", "6000"}, {"PROC_IP", "env-host"}},
                  {"-p", "", "-w", "  ", "-i", " "},
                  calls("8080 8443 \"env-host\" 6000")},
        StartCase{"first_word_of_the_address",
                  {},
                  {"-i", "  host two"},
                  calls("8080 8443 \"host\" 5010")},
        StartCase{"port_numbers_as_the_stream_reads_them",
                  {},
                  {"-p", "letters", "-w", " 90x", "-s", "99999999999"},
                  calls("90 -1 \"palvex-host\" 0")},
        StartCase{
            "minus_wraps_at_32_bits", {}, {"-p", "-2"}, calls("8080 8443 \"palvex-host\" -2")},
        StartCase{"both_web_ports_0_still_start_the_web_server",
                  {},
                  {"-w", "0", "-s", "0"},
                  calls("0 0 \"palvex-host\" 5010")},
        StartCase{"pairs_in_command_line_order",
                  {},
                  {"-a", "k=v", "--param=a=b=c", "-a", "=empty-key", "--param",
                   "empty-value=", "-a", "k=again"},
                  calls("8080 8443 \"palvex-host\" 5010",
                        {"\"k\" \"v\"", "\"a\" \"b=c\"", "\"\" \"empty-key\"",
                         "\"empty-value\" \"\"", "\"k\" \"again\""})},
        StartCase{"verbose_and_stray_words_change_nothing",
                  {{"PROC_VERB", "-vvv"}},
                  {"-v", "stray", "-vvv", "--verbose", "word"},
                  calls("8080 8443 \"palvex-host\" 5010")}),
    [](const testing::TestParamInfo<StartCase>& info) { return std::string(info.param.name); });

// Runs that end while configuring; the engine is not called but for its version.
struct EndCase {
  const char* name;
  EnvChanges env;
  std::vector<std::string> args;
  int status;
  std::map<std::string, std::string> help;  // fields of the expected help, or empty
  std::string out;                          // expected stdout when there is no help
  std::string own_error;                    // our line on stderr, after the C library's one
  bool library_diagnostic;                  // getopt_long wrote a line first
};

std::ostream& operator<<(std::ostream& out, const EndCase& c) { return out << c.name; }

class WebfrontEnd : public testing::TestWithParam<EndCase> {};

TEST_P(WebfrontEnd, ends_while_configuring) {
  const EndCase& c = GetParam();
  FakeWebfront webfront(c.env);
  const ProcessResult result = webfront.run(c.args);
  ASSERT_TRUE(result.exited) << "signal " << result.signal;
  EXPECT_EQ(result.status, c.status);

  if (!c.help.empty()) {
    std::map<std::string, std::string> fields{{"VERSION", webfront_fake_version},
                                              {"PROGRAM", webfront_path()},
                                              {"IP", "palvex-host"},
                                              {"PORT", "5010"},
                                              {"HTTP", "8080"},
                                              {"HTTPS", "8443"},
                                              {"PROC_VERB", ""}};
    for (const auto& [name, value] : c.help) fields[name] = value;
    EXPECT_EQ(result.out, expected_webfront_help(fields));
  } else {
    EXPECT_EQ(result.out, c.out);
  }

  const std::vector<std::string> err = split_lines(result.err);
  if (c.own_error.empty()) {
    EXPECT_EQ(result.err, "");
  } else if (c.library_diagnostic) {
    ASSERT_EQ(err.size(), 2u) << result.err;
    EXPECT_EQ(err[0].rfind(webfront_path() + ": ", 0), 0u) << err[0];
    EXPECT_EQ(err[1], c.own_error);
  } else {
    EXPECT_EQ(result.err, c.own_error + "\n");
  }

  const std::vector<std::string> version_only{"palvex_GetVersion"};
  EXPECT_EQ(webfront.trace(), c.status == 0 ? version_only : std::vector<std::string>{})
      << "nothing is started before the options are all read";
}

const std::string version_line =
    std::string("VELMOR Palvex Version ") + webfront_fake_version + "\n";

INSTANTIATE_TEST_SUITE_P(
    HelpVersionErrors, WebfrontEnd,
    testing::Values(
        EndCase{"help", {}, {"-h"}, 0, {{"IP", "palvex-host"}}, "", "", false},
        EndCase{"help_long", {}, {"--help"}, 0, {{"IP", "palvex-host"}}, "", "", false},
        EndCase{"help_shows_environment",
                {{"PROC_IP", "env-host"},
                 {"PROC_PORT", "6000"},
                 {"HTTP_PORT", "81"},
                 {"HTTPS_PORT", "444"},
                 {"PROC_VERB", "-vv"}},
                {"-h"},
                0,
                {{"IP", "env-host"},
                 {"PORT", "6000"},
                 {"HTTP", "81"},
                 {"HTTPS", "444"},
                 {"PROC_VERB", "-vv"}},
                "",
                "",
                false},
        EndCase{"help_shows_options_before_it_and_ignores_the_rest",
                {{"PROC_PORT", "6000"}},
                {"-p", "1", "-i", "before", "-h", "-p", "2", "-x", "-a", "bad"},
                0,
                {{"IP", "before"}, {"PORT", "1"}},
                "",
                "",
                false},
        EndCase{"help_shows_an_empty_address",
                {{"PROC_IP", ""}},
                {"-h"},
                0,
                {{"IP", ""}},
                "",
                "",
                false},
        EndCase{"help_shows_saturated_ports",
                {},
                {"-w", "99999999999", "-s", "-1", "-h"},
                0,
                {{"HTTP", "4294967295"}, {"HTTPS", "4294967295"}},
                "",
                "",
                false},
        EndCase{"version", {}, {"-V"}, 0, {}, version_line, "", false},
        EndCase{"version_before_help", {}, {"--version", "-h"}, 0, {}, version_line, "", false},
        EndCase{"version_without_a_text_from_the_engine",
                {{"PALVEX_FAKE_VERSION", "NULL"}},
                {"-V"},
                0,
                {},
                "VELMOR Palvex Version unknown\n",
                "",
                false},
        EndCase{"help_before_version", {}, {"-h", "-V"}, 0, {{"IP", "palvex-host"}}, "", "", false},
        EndCase{"missing_argument", {}, {"-p"}, 1, {}, "", " option p is unknown", true},
        EndCase{"missing_argument_long", {}, {"--ip"}, 1, {}, "", " option i is unknown", true},
        EndCase{"unknown_letter", {}, {"-x"}, 1, {}, "", " option x is unknown", true},
        EndCase{"unknown_long_name", {}, {"--nope"}, 1, {}, "", " option ? is unknown", true},
        EndCase{"ambiguous_abbreviation", {}, {"--htt=1"}, 1, {}, "", " option ? is unknown", true},
        EndCase{"argument_to_a_flag", {}, {"--help=yes"}, 1, {}, "", " option h is unknown", true},
        EndCase{"pair_without_equals",
                {},
                {"-a", "novalue"},
                1,
                {},
                "",
                " option a needs key=value format",
                false},
        EndCase{
            "empty_pair", {}, {"--param="}, 1, {}, "", " option a needs key=value format", false},
        EndCase{"error_after_good_options",
                {},
                {"-p", "1", "-a", "k=v", "-a", "k"},
                1,
                {},
                "",
                " option a needs key=value format",
                false}),
    [](const testing::TestParamInfo<EndCase>& info) { return std::string(info.param.name); });

}  // namespace
