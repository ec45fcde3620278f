// The audio host that the web front-end reaches: palvex-jack on a private dummy jackd.
#include "audio_host.h"

#include <signal.h>

// The real engine, found through the programs' RUNPATH, and none of our variables inherited.
static EnvChanges real_engine_env() {
  EnvChanges env = clean_palvex_env();
  env["LD_LIBRARY_PATH"] = std::nullopt;
  return env;
}

std::unique_ptr<HostRun> start_audio_host(const JackServer& jackd, const std::string& state_dir,
                                          int json_port) {
  return std::make_unique<HostRun>(
      jackd, std::vector<std::string>{"-w", "0", "-s", "0", "-D", state_dir},
      EnvChanges{{"STATE_DIR", state_dir}}, Engine::stand_in, json_port);
}

RealWebfront::RealWebfront(int json_port, EnvChanges env) : json_port_(json_port) {
  env_ = real_engine_env();
  for (const auto& [name, value] : env) env_[name] = value;
}

RealWebfront::~RealWebfront() {
  if (child_ && child_->running()) stop();
}

bool RealWebfront::start_http() {
  web_port_ = free_tcp_port();
  return start(std::to_string(web_port_), "0");
}

bool RealWebfront::start_https() {
  web_port_ = free_tcp_port();
  return start("0", std::to_string(web_port_));
}

bool RealWebfront::start(const std::string& http, const std::string& https) {
  child_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{bin_path("palvex-webfront"), "-i", "127.0.0.1", "-p",
                               std::to_string(json_port_), "-w", http, "-s", https},
      env_);
  return wait_for_tcp_port(web_port_, std::chrono::seconds(15)) && child_->running();
}

bool RealWebfront::stop() {
  child_->send_signal(SIGTERM);
  if (child_->wait_for_exit(std::chrono::seconds(8))) return true;
  child_->send_signal(SIGKILL);
  child_->wait_for_exit(std::chrono::seconds(5));
  return false;
}
