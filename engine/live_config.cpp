// Live configurations by directory and state files: the first process loads, later ones share.
#include "live_config.h"

#include <cmath>

#include "engine_log.h"
#include "lending.h"

namespace engine {

float linear_gain(double db) { return static_cast<float>(std::pow(10.0, db / 20.0)); }

LiveConfig::LiveConfig(std::shared_ptr<std::atomic<float>> gain, std::unique_ptr<StateStore> store)
    : target_gain(std::move(gain)), store(std::move(store)) {
  if (this->store) {
    nlohmann::json saved = this->store->load();
    if (saved.is_object() && saved.contains("in") && saved["in"].contains("gain"))
      gain_db = saved["in"]["gain"].get<double>();
  }
  target_gain->store(linear_gain(gain_db), std::memory_order_relaxed);
}

void LiveConfig::save_locked(const std::string* state, std::string onair) {
  if (store) store->save(state, std::move(onair), keep);
}

namespace {

struct NoHolder {};  // every process on a configuration uses it alike
using ConfigLending = Lending<std::string, LiveConfig, NoHolder>;

ConfigLending& live_configs() {
  // Never destroyed: a web request may still hold a configuration while the program exits.
  static auto* lending = new ConfigLending;
  return *lending;
}

std::string key_of(const std::string& directory, const ProcessSettings& settings) {
  // The read-only modes belong to the key: a process that may write never shares a store with
  // one that may not.
  return directory + '\0' + settings.state_filename + '\0' + settings.onair_filename + '\0' +
         (settings.storage_ro ? '1' : '0') + (settings.state_ro ? '1' : '0');
}

std::string place_of(const std::string& directory, const ProcessSettings& settings) {
  if (directory.empty()) return settings.state_filename + " (no storage directory)";
  return directory + (directory.back() == '/' ? "" : "/") + settings.state_filename;
}

}  // namespace

// One process's use of a configuration, through its lease.
struct ProcessUse {
  explicit ProcessUse(std::unique_ptr<ConfigLending::Lease> lease) : lease(std::move(lease)) {
    (*this->lease)->processes.fetch_add(1);
  }
  ~ProcessUse() {
    // A takeover (the new process holds it already) writes nothing and waits for nothing; the
    // last process has what waits written before the program can end.
    LiveConfig& config = **lease;
    if (config.processes.fetch_sub(1) == 1 && config.store) config.store->flush();
  }
  const std::unique_ptr<ConfigLending::Lease> lease;
};

std::shared_ptr<LiveConfig> attach_live_config(const std::string& directory,
                                               const ProcessSettings& settings) {
  bool made = false;
  const std::string key = key_of(directory, settings);
  std::unique_ptr<ConfigLending::Lease> lease = live_configs().borrow(
      key, NoHolder{},
      [&] {
        auto config =
            std::make_shared<LiveConfig>(std::make_shared<std::atomic<float>>(1.0f),
                                         std::make_unique<StateStore>(directory, settings));
        // Asked while a process holds a lease, so the configuration is there to borrow.
        config->keep = [key]() -> std::shared_ptr<void> {
          return live_configs().borrow(key, NoHolder{}, [] { return nullptr; });
        };
        return config;
      },
      &made);
  if (!made)
    log(kInfo, "Carrying on with the live configuration of " + place_of(directory, settings));
  LiveConfig* config = lease->thing().get();
  // The process holds the configuration through its lease: the last copy gives it back.
  return std::shared_ptr<LiveConfig>(std::make_shared<ProcessUse>(std::move(lease)), config);
}

}  // namespace engine
