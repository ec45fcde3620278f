// The parameter set the hosts fill before they create a process.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "palvex.h"

struct palvex_ParametersData {
  std::vector<std::pair<std::string, std::string>> pairs;  // in the order they were set
};

namespace engine {

// The parameters a process understands; everything else is kept and shown as given.
struct ProcessSettings {
  std::string state_filename = "palvex.state";
  std::string onair_filename = "palvex.onair";
  bool storage_ro = false;
  bool state_ro = false;
  std::vector<std::pair<std::string, std::string>> others;  // later pairs win on display
};

ProcessSettings read_settings(const palvex_ParametersData& set);

}  // namespace engine
