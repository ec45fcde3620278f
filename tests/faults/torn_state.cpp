// What the fault tests check in a state folder after a host ended.
#include "torn_state.h"

#include <filesystem>
#include <nlohmann/json.hpp>

#include "temp_dir.h"

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
