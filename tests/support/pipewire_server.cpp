// A private PipeWire daemon for tests, headless: it logs that D-Bus is missing and goes on.
#include "pipewire_server.h"

#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <filesystem>
#include <thread>

namespace {

// Variables that would point a client at another daemon or another session.
EnvChanges session_free_env(const std::string& runtime_dir) {
  return {{"XDG_RUNTIME_DIR", runtime_dir},           {"PIPEWIRE_RUNTIME_DIR", std::nullopt},
          {"PIPEWIRE_REMOTE", std::nullopt},          {"PIPEWIRE_CORE", std::nullopt},
          {"DBUS_SESSION_BUS_ADDRESS", std::nullopt}, {"DISPLAY", std::nullopt}};
}

}  // namespace

PipeWireServer::PipeWireServer() : dir_("palvex-pipewire"), runtime_dir_(dir_.path().string()) {
  // PipeWire wants its runtime folder private, as a login session's is.
  ::chmod(runtime_dir_.c_str(), 0700);
  daemon_ = std::make_unique<ChildProcess>(std::vector<std::string>{"pipewire"},
                                           session_free_env(runtime_dir_));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
  while (std::chrono::steady_clock::now() < deadline && daemon_->running()) {
    if (std::filesystem::exists(dir_.path() / "pipewire-0") &&
        run_tool({"pw-cli", "info", "0"}, std::chrono::seconds(5)).status == 0) {
      ready_ = true;
      return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
}

PipeWireServer::~PipeWireServer() {
  if (daemon_ != nullptr && daemon_->running()) stop(SIGTERM);
  // ~ChildProcess kills what is left.
}

EnvChanges PipeWireServer::client_env(EnvChanges base) const {
  for (auto& [name, value] : session_free_env(runtime_dir_)) base[name] = value;
  return base;
}

void PipeWireServer::use_in_this_process() const {
  for (const auto& [name, value] : session_free_env(runtime_dir_)) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
}

ProcessResult PipeWireServer::run_tool(const std::vector<std::string>& argv,
                                       std::chrono::milliseconds timeout) const {
  return run_process(argv, session_free_env(runtime_dir_), timeout);
}

bool PipeWireServer::force_quantum(uint32_t frames) const {
  const ProcessResult result = run_tool(
      {"pw-metadata", "-n", "settings", "0", "clock.force-quantum", std::to_string(frames)});
  return result.exited && result.status == 0;
}

std::string PipeWireServer::dump() const { return run_tool({"pw-dump"}).out; }

bool PipeWireServer::running() { return daemon_ != nullptr && daemon_->running(); }

bool PipeWireServer::stop(int signal_number, std::chrono::milliseconds timeout) {
  if (daemon_ == nullptr) return true;
  daemon_->send_signal(signal_number);
  return daemon_->wait_for_exit(timeout);
}

std::string PipeWireServer::log() const {
  return daemon_ != nullptr ? daemon_->stderr_text() + daemon_->stdout_text() : std::string();
}
