// The files of a process in its storage directory: the saved state and the on-air view.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>

#include "parameters.h"

namespace engine {

class StateStore {
public:
  StateStore(std::string directory, const ProcessSettings& settings);

  // The saved state, already checked; null when there is none or it could not be used. Our
  // temporary files that a killed process left behind go first.
  nlohmann::json load();
  // Hands the files' texts (one JSON line each) to the program's writer (state null: unchanged);
  // keep as in StateWriter::post. Under the configuration's lock, so that the latest value wins.
  void save(const std::string* state, std::string onair,
            const std::function<std::shared_ptr<void>()>& keep);
  // The last process on the configuration went: what waits is written now, and waited for
  // unless on a real-time thread (the program's end waits for it then).
  void flush();

  // The writer's: temporary file, fsync, rename, folder fsync, so that a crash leaves the old
  // file or the new one, never a torn one (null: that file stays).
  void write_now(const std::string* state, const std::string* onair);
  std::chrono::steady_clock::time_point last_write_{};  // under the writer's lock

private:
  // failing: this file's own flag, so that each file's first failure is reported.
  bool write_file(const std::string& name, const std::string& text, const char* what, int severity,
                  std::atomic<bool>& failing);
  std::string path_of(const std::string& name) const;
  void remove_leftovers();

  std::string directory_;
  std::string state_name_, onair_name_;
  bool storage_ro_, state_ro_;
  bool state_blocked_ = false;  // a state file we could not read is never overwritten
  // Report a failing file once, not on every change; its recovery once too. Set by the writer.
  std::atomic<bool> state_write_failing_{false};
  std::atomic<bool> onair_write_failing_{false};
  // What the on-air file was last given, so that an unchanged view is not written again (a
  // takeover then touches no file); under the configuration's lock.
  std::string onair_posted_;
};

}  // namespace engine
