// palvex-jack or palvex-pipewire as a child process on a test's private server.
#include "host_run.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <thread>

HostRun::HostRun(const JackServer& server, std::vector<std::string> args, EnvChanges env,
                 Engine engine, int json_port)
    : dir_("palvex-jack-run"),
      json_port_(json_port == 0 ? free_tcp_port() : json_port),
      jack_(&server) {
  start("palvex-jack", PALVEX_JACK_CLOSE_TRACE_SHIM, server.client_env(clean_palvex_env()), args,
        env, engine);
}

HostRun::HostRun(const PipeWireServer& server, std::vector<std::string> args, EnvChanges env,
                 Engine engine, int json_port)
    : dir_("palvex-pw-run"),
      json_port_(json_port == 0 ? free_tcp_port() : json_port),
      pipewire_(&server) {
  EnvChanges base = server.client_env(clean_palvex_env());
  if (engine == Engine::fake) base["PALVEX_FAKE_CHUNK_LIST"] = "64";
  start("palvex-pipewire", PALVEX_PW_DESTROY_SHIM, base, args, env, engine);
}

void HostRun::start(const std::string& program, const std::string& shim, EnvChanges all,
                    const std::vector<std::string>& args, const EnvChanges& env, Engine engine) {
  trace_path_ = dir_.file("trace");
  all["STATE_DIR"] = dir_.path().string();
  all["PALVEX_FAKE_TRACE"] = trace_path_;
  all["LD_PRELOAD"] = shim;
  // In an AddressSanitizer build the preloaded shim comes before the sanitizer's runtime.
  const char* asan = getenv("ASAN_OPTIONS");
  all["ASAN_OPTIONS"] = std::string(asan != nullptr ? asan : "") +
                        (asan != nullptr && *asan != '\0' ? ":" : "") + "verify_asan_link_order=0";
  // The programs' RUNPATH finds the stand-in engine; the fake comes first when asked for.
  if (engine == Engine::fake) {
    all["LD_LIBRARY_PATH"] = PALVEX_FAKE_LIB_DIR;
  } else {
    all["LD_LIBRARY_PATH"] = std::nullopt;
  }
  for (const auto& [key, value] : env) all[key] = value;
  state_dir_ = all["STATE_DIR"].value_or("");
  std::vector<std::string> argv = {bin_path(program)};
  if (json_port_ != program_default_port) {
    argv.push_back("-j");
    argv.push_back(std::to_string(json_port_));
  }
  argv.insert(argv.end(), args.begin(), args.end());
  process_ = std::make_unique<ChildProcess>(argv, all);
}

HostRun::~HostRun() {
  // A host killed outright leaves jackd waiting for it, and its icon file in /tmp.
  if (process_->running()) stop(SIGTERM, std::chrono::seconds(5));
  if (icon_file_.rfind("/tmp/png", 0) == 0) {
    std::error_code ignored;
    std::filesystem::remove(icon_file_, ignored);
  }
}

bool HostRun::wait_for_json_port(std::chrono::milliseconds timeout) {
  return wait_for_tcp_port(json_port_, timeout) && process_->running();
}

bool HostRun::wait_for_trace(const std::string& line, std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    const std::vector<std::string> lines = trace();
    if (std::find(lines.begin(), lines.end(), line) != lines.end()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

bool HostRun::stop(int signal_number, std::chrono::milliseconds timeout) {
  process_->send_signal(signal_number);
  if (process_->wait_for_exit(timeout)) return true;
  process_->send_signal(SIGKILL);
  process_->wait_for_exit(std::chrono::seconds(5));
  return false;
}

std::string HostRun::diagnostics() const {
  std::string text = "--- stderr of the host:\n" + process_->stderr_text();
  text += "--- trace:\n" + read_file(trace_path_);
  const std::string server = jack_ != nullptr ? jack_->log() : pipewire_->log();
  text +=
      "--- server (last lines):\n" + server.substr(server.size() > 3000 ? server.size() - 3000 : 0);
  return text;
}
