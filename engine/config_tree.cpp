// The configuration tree: validation, merge, change detection and the meters window.
#include "config_tree.h"

#include <charconv>
#include <cmath>

#include "engine_log.h"
#include "protocol.h"

namespace engine {

using nlohmann::json;

static json gain_json(double db) {
  // Whole numbers print as the operator typed them ({"gain":-30}, not -30.0).
  if (std::trunc(db) == db) return static_cast<long long>(db);
  return db;
}

// The gain's range as the operator reads it: "-80 to 20".
static std::string gain_range_text() {
  return gain_json(kMinGainDb).dump() + " to " + gain_json(kMaxGainDb).dump();
}

// The double nearest the float's shortest text, so it prints as 0.2 and not 0.20000000298023224.
// Both ways are the C++ ones, which no locale's decimal comma reaches.
static double shortest(float value) {
  char text[32];
  const char* end = std::to_chars(text, text + sizeof text, value).ptr;
  double nearest = 0.0;
  std::from_chars(text, end, nearest);
  return nearest;
}

std::string check_set(const json& changes) {
  if (!changes.is_object()) return "\"set\" needs an object, such as {\"in\":{\"gain\":-30}}";
  for (const auto& [key, value] : changes.items()) {
    if (key == "metadata" || key == "meters" || key == "parameters")
      return "\"" + key + "\" is read-only";
    if (key != "in") return "Unknown key \"" + key + "\"";
    if (!value.is_object()) return "\"in\" needs an object";
    for (const auto& [in_key, in_value] : value.items()) {
      if (in_key != "gain") return "Unknown key \"in." + in_key + "\"";
      if (!in_value.is_number()) return "\"in.gain\" needs a number (dB)";
      const double db = in_value.get<double>();
      if (!(db >= kMinGainDb && db <= kMaxGainDb))
        return "\"in.gain\" out of range (" + gain_range_text() + " dB)";
    }
  }
  return "";
}

json diff_trees(const json& before, const json& after) {
  json changed = json::object();
  for (const auto& [key, value] : after.items()) {
    auto old = before.find(key);
    if (old == before.end()) {
      changed[key] = value;
    } else if (value.is_object() && old->is_object()) {
      json inner = diff_trees(*old, value);
      if (!inner.empty()) changed[key] = std::move(inner);
    } else if (*old != value) {
      changed[key] = value;
    }
  }
  return changed;
}

ConfigTree::ConfigTree(std::shared_ptr<AudioState> audio, const ProcessSettings& settings,
                       std::shared_ptr<LiveConfig> live)
    : audio_(std::move(audio)),
      live_(live ? std::move(live) : std::make_shared<LiveConfig>(audio_->target_gain, nullptr)) {
  for (const auto& [key, value] : settings.others) parameters_[key] = value;
}

json ConfigTree::settings_locked() const {
  return json{{"in", {{"gain", gain_json(live_->gain_db)}}},
              {"metadata", metadata_},
              {"parameters", parameters_}};
}

json ConfigTree::tree() {
  json meters = json::array();
  for (auto& peak : audio_->out_peak)
    meters.push_back(shortest(peak.exchange(0.0f, std::memory_order_relaxed)));
  std::lock_guard<std::mutex> lock(live_->mutex);
  json whole = settings_locked();
  whole["meters"] = {{"out_peak", std::move(meters)}};
  return whole;
}

json ConfigTree::set(const json& changes, std::string* error) {
  *error = check_set(changes);
  if (!error->empty()) return nullptr;
  // The gain is all a set can change: a flood of sets holds the lock the processes share only
  // for the gain and two short texts, so a process being made gets it at once.
  json changed = json::object();
  const auto in = changes.find("in");
  if (in == changes.end() || !in->contains("gain")) return changed;
  const double db = (*in)["gain"].get<double>();
  json gain = gain_json(db);
  const std::string gain_text = to_text(gain);
  {
    std::lock_guard<std::mutex> lock(live_->mutex);
    if (gain == gain_json(live_->gain_db)) return changed;
    live_->gain_db = db;
    live_->target_gain->store(linear_gain(db), std::memory_order_relaxed);
    // Answered now; the files follow behind.
    const std::string state = "{\"in\":{\"gain\":" + gain_text + "}}";
    live_->save_locked(&state, onair_text_locked(gain_text));
  }
  changed["in"]["gain"] = std::move(gain);
  if (log_enabled(kVerb)) log(kVerb, "Configuration changed: " + to_text(changed));
  return changed;
}

void ConfigTree::set_metadata(const std::string& key, const std::string& value) {
  std::lock_guard<std::mutex> lock(live_->mutex);
  metadata_[key] = value;
  metadata_text_ = to_text(metadata_);
}

std::string ConfigTree::onair_text_locked(const std::string& gain_text) const {
  // As to_text writes the on-air tree, without building it under the lock.
  return "{\"in\":{\"gain\":" + gain_text + "},\"metadata\":" + metadata_text_ + "}";
}

void ConfigTree::write_onair() {
  std::lock_guard<std::mutex> lock(live_->mutex);
  live_->save_locked(nullptr, onair_text_locked(to_text(gain_json(live_->gain_db))));
}

}  // namespace engine
