// The configuration of one process as the control port and the web page see it.
#pragma once

#include <memory>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>

#include "audio_state.h"
#include "live_config.h"
#include "parameters.h"

namespace engine {

constexpr double kMinGainDb = -80.0;
constexpr double kMaxGainDb = 20.0;

// Checks a tree given to set (or read from a state file); an error text, empty when fine.
std::string check_set(const nlohmann::json& changes);
// What differs in after, compared with before (objects compared key by key).
nlohmann::json diff_trees(const nlohmann::json& before, const nlohmann::json& after);

// One process's view: its own meters, metadata and parameters around the live configuration
// it shares.
class ConfigTree {
public:
  // Without a live configuration, the process gets one of its own on its audio's gain, kept
  // nowhere.
  ConfigTree(std::shared_ptr<AudioState> audio, const ProcessSettings& settings,
             std::shared_ptr<LiveConfig> live);

  // {"in":{"gain":G},"metadata":{..},"meters":{"out_peak":[L,R]},"parameters":{..}};
  // reading the meters starts a new peak window.
  nlohmann::json tree();
  // Merges changes in; answers what changed, or sets *error and changes nothing.
  nlohmann::json set(const nlohmann::json& changes, std::string* error);
  void set_metadata(const std::string& key, const std::string& value);
  void write_onair();  // once the process is complete, and after each change

private:
  nlohmann::json settings_locked() const;
  std::string onair_text_locked(const std::string& gain_text) const;

  std::shared_ptr<AudioState> audio_;
  std::shared_ptr<LiveConfig> live_;  // its mutex also guards metadata_
  nlohmann::json metadata_ = nlohmann::json::object();
  std::string metadata_text_ = "{}";  // metadata_ as the on-air file shows it
  nlohmann::json parameters_ = nlohmann::json::object();
};

}  // namespace engine
