// Starts and stops a private dummy-backend jackd for the tests.
#include "jack_server.h"

#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <thread>

namespace {

std::string unique_server_name() {
  static std::atomic<int> counter{0};
  std::ostringstream name;
  name << "palvex-test-" << getpid() << "-" << counter++;
  return name.str();
}

// jackd never looks for a sound card's reservation, and no client ever starts a server itself.
EnvChanges server_env() {
  EnvChanges env;
  env["JACK_NO_AUDIO_RESERVATION"] = "1";
  env["JACK_NO_START_SERVER"] = "1";
  return env;
}

}  // namespace

std::string find_on_path(const std::string& program) {
  const char* path = getenv("PATH");
  std::istringstream dirs(path != nullptr ? path : "/usr/bin:/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    std::string candidate = (dir.empty() ? "." : dir) + "/" + program;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

JackServer::JackServer(const JackServerOptions& options)
    : options_(options), name_(unique_server_name()) {
  if (!options.started) return;
  const std::string jackd = find_on_path("jackd"), jack_lsp = find_on_path("jack_lsp");
  if (jackd.empty() || jack_lsp.empty()) return;
  jackd_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{
          jackd, options.realtime && realtime_granted() ? "--realtime" : "--no-realtime", "-n",
          name_, "-d", "dummy", "-r", std::to_string(options.rate), "-p",
          std::to_string(options.period), "-C", std::to_string(options.capture), "-P",
          std::to_string(options.playback)},
      server_env());
  // It answers once jack_lsp can list its ports.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline && jackd_->running()) {
    ProcessResult lsp = run_process({jack_lsp, "-s", name_}, client_env(), std::chrono::seconds(5));
    if (lsp.exited && lsp.status == 0) {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

JackServer::~JackServer() {
  if (jackd_ && jackd_->running()) stop(SIGTERM);
}

// jackd keeps a table of eight servers in shared memory, and one that dies without its own
// cleanup keeps its entry for good. A server of the same name reclaims the entry and frees it
// again when it stops normally, so no test run can use up the table for the next.
void JackServer::release_registration() {
  const std::string jackd = find_on_path("jackd"), jack_lsp = find_on_path("jack_lsp");
  ChildProcess again({jackd, "--no-realtime", "-n", name_, "-d", "dummy"}, server_env());
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < deadline && again.running()) {
    ProcessResult lsp = run_process({jack_lsp, "-s", name_}, client_env(), std::chrono::seconds(5));
    if (lsp.exited && lsp.status == 0) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  again.send_signal(SIGTERM);
  again.wait_for_exit(std::chrono::seconds(5));
}

EnvChanges JackServer::client_env(EnvChanges base) const {
  for (const auto& [key, value] : server_env()) base[key] = value;
  base["JACK_DEFAULT_SERVER"] = name_;
  return base;
}

void JackServer::use_in_this_process() const {
  for (const auto& [key, value] : client_env()) setenv(key.c_str(), value->c_str(), 1);
}

bool JackServer::running() { return jackd_ && jackd_->running(); }

bool JackServer::stop(int signal_number, std::chrono::milliseconds timeout) {
  if (!jackd_) return true;
  jackd_->send_signal(signal_number);
  bool in_time = jackd_->wait_for_exit(timeout);
  if (!in_time) {
    jackd_->send_signal(SIGKILL);
    jackd_->wait_for_exit(std::chrono::seconds(5));
  }
  const ProcessResult& result = jackd_->result();
  if (!result.exited || result.status != 0) release_registration();
  return in_time;
}

bool JackServer::set_buffer_size(unsigned frames) const {
  const std::string jack_bufsize = find_on_path("jack_bufsize");
  if (jack_bufsize.empty()) return false;
  const ProcessResult result =
      run_process({jack_bufsize, std::to_string(frames)}, client_env(), std::chrono::seconds(10));
  return result.exited && result.status == 0;
}

std::string JackServer::log() const {
  if (!options_.started) return "no jackd started";
  return jackd_ ? jackd_->stdout_text() + jackd_->stderr_text() : "jackd or jack_lsp not found";
}
