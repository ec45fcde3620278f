// palvex-pipewire as a process on a test's PipeWire daemon.
#include "host_run.h"

#include <signal.h>

#include <filesystem>
#include <system_error>
#include <thread>

PipeWireHostRun::PipeWireHostRun(const PipeWireServer& server,
                                 const std::vector<std::string>& args, const EnvChanges& extra,
                                 Engine engine)
    : server_(server), dir_("palvex-pw-run"), trace_path_(dir_.file("trace")) {
  EnvChanges env = server.client_env(clean_palvex_env());
  // The program's RUNPATH finds the stand-in engine; the fake comes first when asked for.
  if (engine == fake) env["LD_LIBRARY_PATH"] = PALVEX_FAKE_LIB_DIR;
  env["STATE_DIR"] = dir_.path().string();
  env["LD_PRELOAD"] = PALVEX_PW_DESTROY_SHIM;
  env["PALVEX_FAKE_TRACE"] = trace_path_;
  env["PALVEX_FAKE_CHUNK_LIST"] = "64";
  for (const auto& [name, value] : extra) env[name] = value;
  std::vector<std::string> argv{bin_path("palvex-pipewire")};
  argv.insert(argv.end(), args.begin(), args.end());
  process_ = std::make_unique<ChildProcess>(argv, env);
}

PipeWireHostRun::~PipeWireHostRun() {
  if (process_->running()) {
    process_->send_signal(SIGINT);
    process_->wait_for_exit(std::chrono::seconds(5));
  }
  process_.reset();  // kills what is left
  if (icon_file_.rfind("/tmp/png", 0) == 0) {
    std::error_code ignored;
    std::filesystem::remove(icon_file_, ignored);
  }
}

std::optional<GraphNode> PipeWireHostRun::wait_for_node(std::chrono::milliseconds timeout) const {
  std::optional<GraphNode> node = ::wait_for_node(server_, "media.name", "VELMOR Palvex", 4, timeout);
  if (node && node->props.contains("application.icon-name") &&
      node->props["application.icon-name"].is_string())
    icon_file_ = node->props["application.icon-name"].get<std::string>();
  return node;
}

bool PipeWireHostRun::wait_for_trace(const std::string& line,
                                     std::chrono::milliseconds timeout) const {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  do {
    if (index_of(trace(), line) >= 0) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  } while (std::chrono::steady_clock::now() < deadline);
  return false;
}

std::string PipeWireHostRun::diagnostics() const {
  std::string text = "--- palvex-pipewire stderr:\n" + process_->stderr_text();
  text += "--- trace:\n" + read_file(trace_path_);
  const std::string daemon = server_.log();
  text += "--- pipewire (last lines):\n" +
          daemon.substr(daemon.size() > 3000 ? daemon.size() - 3000 : 0);
  return text;
}
