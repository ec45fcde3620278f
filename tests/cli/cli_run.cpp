// Runs an audio host with a chosen environment and arguments, cut off from any sound server.
#include "cli_run.h"

#include <unistd.h>

#include <atomic>
#include <chrono>

namespace {

void replace_all(std::string& text, const std::string& token, const std::string& value) {
  for (size_t at = text.find(token); at != std::string::npos;
       at = text.find(token, at + value.size()))
    text.replace(at, token.size(), value);
}

}  // namespace

const AudioHost& jack_host() {
  static const AudioHost host{"palvex-jack", "help-jack.txt", "palvex"};
  return host;
}

const AudioHost& pipewire_host() {
  static const AudioHost host{"palvex-pipewire", "help-pipewire.txt", ""};
  return host;
}

const std::vector<AudioHost>& both_hosts() {
  static const std::vector<AudioHost> hosts{jack_host(), pipewire_host()};
  return hosts;
}

std::vector<AudioHost> hosts_of(Hosts which) {
  if (which == Hosts::jack) return {jack_host()};
  if (which == Hosts::pipewire) return {pipewire_host()};
  return both_hosts();
}

std::string program_path(const AudioHost& host) { return bin_path(host.program); }

std::string expected_help(const AudioHost& host, const HelpValues& values) {
  std::string text = read_file(std::string(PALVEX_TEST_DATA_DIR) + "/cli/" + host.help_fixture);
  replace_all(text, "@VERSION@", fake_version);
  replace_all(text, "@PROGRAM@", program_path(host));
  replace_all(text, "@CLIENT@", values.client != nullptr ? values.client : host.default_client);
  replace_all(text, "@PROC_VERB@", values.proc_verb);
  replace_all(text, "@JSON_PORT@", values.json_port);
  replace_all(text, "@STATE_DIR@", values.state_dir);
  replace_all(text, "@HTTP_PORT@", values.http_port);
  replace_all(text, "@HTTPS_PORT@", values.https_port);
  return text;
}

HostRunner::HostRunner() : runtime_("palvex-cli-runtime") {
  static std::atomic<int> serial{0};
  jack_server_ = "palvex-cli-" + std::to_string(getpid()) + "-" + std::to_string(++serial);
}

ProcessResult HostRunner::run(const AudioHost& host, const EnvChanges& env,
                              const std::vector<std::string>& args) {
  EnvChanges all = clean_palvex_env();
  all["LD_LIBRARY_PATH"] = std::string(PALVEX_FAKE_LIB_DIR);
  all["PALVEX_FAKE_VERSION"] = std::string(fake_version);
  all["JACK_NO_START_SERVER"] = std::string("1");
  all["JACK_DEFAULT_SERVER"] = jack_server_;
  all["XDG_RUNTIME_DIR"] = runtime_.path().string();
  all["PIPEWIRE_RUNTIME_DIR"] = runtime_.path().string();
  all["PIPEWIRE_REMOTE"] = std::nullopt;
  for (const auto& [name, value] : env) all[name] = value;
  std::vector<std::string> argv{program_path(host)};
  argv.insert(argv.end(), args.begin(), args.end());
  return run_process(argv, all, std::chrono::seconds(15));
}
