// The settings record that every processing instance is created from.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

using KeyValuePairs = std::vector<std::pair<std::string, std::string>>;

// Read only by create_processing_instance; a factory holds its own copy.
struct HostConfig {
  std::string state_filename;       // -N: state file name, when instances share a directory
  std::string onair_filename;       // -O: on-air file name, likewise
  bool storage_ro = false;          // -R
  bool state_ro = false;            // -r
  KeyValuePairs params;             // -a pairs, in command-line order
  KeyValuePairs metas;              // -m pairs, in command-line order
  std::filesystem::path state_dir;  // STATE_DIR, -D
  uint16_t json_port = 0;           // PROC_PORT, -j (5010 by default when no web port is set)
  uint32_t http_port = 0;           // HTTP_PORT, -w; 0: no HTTP listener
  uint32_t https_port = 0;          // HTTPS_PORT, -s; 0: no HTTPS listener
};
