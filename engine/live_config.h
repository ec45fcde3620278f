// What an operator sets, owned by the process per storage directory and state files, so that a
// process made to replace another carries on from it instead of from the file.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "parameters.h"
#include "state_store.h"

namespace engine {

struct LiveConfig {
  // Loads the saved state when there is a store.
  LiveConfig(std::shared_ptr<std::atomic<float>> gain, std::unique_ptr<StateStore> store);

  // Hands the files' texts to the writer behind (state null: unchanged); the caller
  // holds mutex. Returns at once: the files follow within the writer's interval.
  void save_locked(const std::string* state, std::string onair);

  std::mutex mutex;  // guards gain_db and the store; never taken by the audio path
  double gain_db = 0.0;
  // Linear; every process on this configuration reads it in its audio path.
  const std::shared_ptr<std::atomic<float>> target_gain;
  const std::unique_ptr<StateStore> store;  // null: nothing is loaded or saved
  // A hold on this configuration for the writer while its files wait, so that a process made
  // meanwhile joins it rather than reading a file not yet written; none when not shared.
  std::function<std::shared_ptr<void>()> keep;
  std::atomic<int> processes{0};  // that use it; the last one to go has what waits written
};

// The configuration that processes of this engine on the same directory and state file
// settings share: the one a live process uses, or a new one loaded from the file when none
// does. It lives as long as a process uses it.
std::shared_ptr<LiveConfig> attach_live_config(const std::string& directory,
                                               const ProcessSettings& settings);

float linear_gain(double db);

}  // namespace engine
