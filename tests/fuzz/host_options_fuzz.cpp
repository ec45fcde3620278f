// Fuzz target: both audio hosts' environment and option stage.
//
// Input: a header line whose letters choose the variant (p: PipeWire, else JACK) and the
// environment variables that are set (D STATE_DIR, P PROC_PORT, H HTTP_PORT, S HTTPS_PORT,
// V PROC_VERB), one line for each of their values, then one line per argument.
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "host_options.h"
#include "jack_description.h"
#include "option_values.h"
#include "pw_description.h"

namespace {

const std::vector<fuzz::EnvironmentLetter> environment_letters = {{'D', "STATE_DIR"},
                                                                  {'P', "PROC_PORT"},
                                                                  {'H', "HTTP_PORT"},
                                                                  {'S', "HTTPS_PORT"},
                                                                  {'V', "PROC_VERB"}};

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "host options: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  opterr = 0;  // the C library's diagnostics would only flood the fuzzer's output
  fuzz::silence_standard_streams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = fuzz::split_lines(data, size, 64);
  const bool pipewire = !lines.empty() && lines[0].find('p') != std::string::npos;
  const size_t first_argument = fuzz::apply_environment(lines, environment_letters);
  fuzz::ArgumentVector argv(pipewire ? "palvex-pipewire" : "palvex-jack",
                            {lines.begin() + first_argument, lines.end()});

  optind = 0;  // a fresh scan, as at program start
  HostSettings settings;
  const HostDescription& host = pipewire ? pipewire_description : jack_description;
  const int status = read_host_options(argv.argc(), argv.argv(), host, settings);
  if (status != options_go_on) {
    if (status != 0 && status != 1) fail("an exit status other than 0 or 1");
    return 0;
  }
  if (settings.verbosity < 4 || settings.verbosity > 10) fail("verbosity out of 4 to 10");
  if (settings.deferred_texts.size() > 4) fail("more than four deferred texts");
  if (pipewire && !settings.session_id.empty()) fail("a session id in the PipeWire host");
  return 0;
}
