// The files of a process in its storage directory: the saved state and the on-air view.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "parameters.h"

namespace engine {

class StateStore {
public:
  StateStore(std::string directory, const ProcessSettings& settings);

  // The saved state, already checked; null when there is none or it could not be used.
  nlohmann::json load();
  // Temporary file, fsync, rename: a crash leaves the old file or the new one, never a torn one.
  void save_state(const nlohmann::json& state);
  void save_onair(const nlohmann::json& onair);

private:
  // failing: this file's own flag, so that each file's first failure is reported.
  bool write_file(const std::string& name, const std::string& text, const char* what, int severity,
                  bool& failing);
  std::string path_of(const std::string& name) const;

  std::string directory_;
  std::string state_name_, onair_name_;
  bool storage_ro_, state_ro_;
  bool state_blocked_ = false;  // a state file we could not read is never overwritten
  // Report a failing file once, not on every change; its recovery once too.
  bool state_write_failing_ = false;
  bool onair_write_failing_ = false;
  std::string onair_written_;  // what the on-air file holds, so an unchanged view is not rewritten
};

}  // namespace engine
