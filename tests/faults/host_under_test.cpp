// palvex-jack with the stand-in engine as a child process, and what the fault tests check.
#include "host_under_test.h"

#include <unistd.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "json_client.h"
#include "temp_dir.h"

HostUnderTest::HostUnderTest(const JackServer& server, const std::string& state_dir,
                             std::vector<std::string> extra_args)
    : json_port(free_tcp_port()), http_port(free_tcp_port()) {
  EnvChanges env = server.client_env(clean_palvex_env());
  env["STATE_DIR"] = state_dir;
  env["SETUP_USER"] = "fault";
  env["SETUP_SECRET"] = "fault-secret";
  env["LD_LIBRARY_PATH"] = std::nullopt;  // the RUNPATH finds the stand-in engine
  std::vector<std::string> argv = {bin_path("palvex-jack"), "-C", "faulthost", "-j",
                                   std::to_string(json_port), "-w", std::to_string(http_port)};
  argv.insert(argv.end(), extra_args.begin(), extra_args.end());
  process = std::make_unique<ChildProcess>(argv, env);
}

bool port_listening(int port) {
  const int fd = connect_loopback(port, std::chrono::milliseconds(500));
  if (fd < 0) return false;
  close(fd);
  return true;
}

std::vector<std::string> torn_state_files(const std::string& state_dir) {
  std::vector<std::string> torn;
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(state_dir, error)) {
    const std::string name = entry.path().filename().string();
    if (name == "filler") continue;
    if (name.find(".tmp-") != std::string::npos) {
      torn.push_back(name + " (left-over temporary file)");
    } else if (nlohmann::json::parse(read_file(entry.path().string()), nullptr, false)
                   .is_discarded()) {
      torn.push_back(name + " (not whole JSON)");
    }
  }
  return torn;
}
