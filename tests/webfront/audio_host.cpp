// The audio host that the web front-end reaches: palvex-jack on a private dummy jackd.
#include "audio_host.h"

#include <signal.h>

// The real engine, found through the programs' RUNPATH, and none of our variables inherited.
static EnvChanges real_engine_env() {
  EnvChanges env = clean_palvex_env();
  env["LD_LIBRARY_PATH"] = std::nullopt;
  return env;
}

JackAudioHost::JackAudioHost(const JackServer& jackd) : jackd_(jackd), state_("palvex-state") {}

JackAudioHost::~JackAudioHost() {
  if (host_) stop();
}

bool JackAudioHost::start(int json_port) {
  json_port_ = json_port != 0 ? json_port : free_tcp_port();
  host_ = std::make_unique<ChildProcess>(
      std::vector<std::string>{bin_path("palvex-jack"), "-j", std::to_string(json_port_), "-w",
                               "0", "-s", "0", "-D", state_.path().string()},
      jackd_.client_env(real_engine_env()));
  return wait_for_tcp_port(json_port_, std::chrono::seconds(15)) && host_->running();
}

bool JackAudioHost::stop() {
  if (!host_) return true;
  host_->send_signal(SIGTERM);
  const bool ended = host_->wait_for_exit(std::chrono::seconds(10));
  if (!ended) {
    host_->send_signal(SIGKILL);
    host_->wait_for_exit(std::chrono::seconds(5));
  }
  earlier_log_ += host_->stderr_text();
  host_.reset();
  return ended;
}

std::string JackAudioHost::log() const {
  return earlier_log_ + (host_ ? host_->stderr_text() : std::string());
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
