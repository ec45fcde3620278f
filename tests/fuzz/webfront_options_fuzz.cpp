// Fuzz target: palvex-webfront's environment and option stage.
//
// Input: a header line whose letters choose the environment variables that are set (w
// HTTP_PORT, s HTTPS_PORT, p PROC_PORT, i PROC_IP, v PROC_VERB), one line for each of their
// values, then one line per argument.
#include <getopt.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzz_input.h"
#include "option_values.h"
#include "webfront_options.h"

namespace {

const std::vector<fuzz::EnvironmentLetter> environment_letters = {{'w', "HTTP_PORT"},
                                                                  {'s', "HTTPS_PORT"},
                                                                  {'p', "PROC_PORT"},
                                                                  {'i', "PROC_IP"},
                                                                  {'v', "PROC_VERB"}};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  opterr = 0;  // the C library's diagnostics would only flood the fuzzer's output
  fuzz::silence_standard_streams();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::vector<std::string> lines = fuzz::split_lines(data, size, 64);
  const size_t first_argument = fuzz::apply_environment(lines, environment_letters);
  fuzz::ArgumentVector argv("palvex-webfront", {lines.begin() + first_argument, lines.end()});

  optind = 0;  // a fresh scan, as at program start
  WebfrontSettings settings;
  const int status = read_webfront_options(argv.argc(), argv.argv(), settings);
  if (status != options_go_on && status != 0 && status != 1) {
    std::fprintf(stderr, "webfront: exit status %d\n", status);
    std::abort();
  }
  return 0;
}
