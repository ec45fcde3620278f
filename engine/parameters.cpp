// Parameter sets and the engine's fixed format.
#include "parameters.h"

#include <new>

namespace engine {

ProcessSettings read_settings(const palvex_ParametersData& set) {
  ProcessSettings settings;
  for (const auto& [key, value] : set.pairs) {
    if (key == "STATE_FILENAME")
      settings.state_filename = value;
    else if (key == "STATE_ONAIR")
      settings.onair_filename = value;
    else if (key == "STORAGE_RO")
      settings.storage_ro = value == "1";
    else if (key == "STATE_RO")
      settings.state_ro = value == "1";
    else
      settings.others.emplace_back(key, value);
  }
  return settings;
}

}  // namespace engine

extern "C" {

const char* palvex_GetVersion(void) { return "1.0-standin"; }

int palvex_GetSampleRate(void) { return 48000; }
int palvex_GetChunkSizeInFrames(void) { return 64; }
int palvex_GetChannelCount(void) { return 2; }
int palvex_GetAudioInputCount(void) { return 1; }
int palvex_GetAudioOutputCount(void) { return 1; }

const int* palvex_GetPossibleChunkSizeInFrames(void) {
  static const int chunks[] = {32, 64, 128, 256, 512, 1024, 0};
  return chunks;
}

palvex_Parameters palvex_NewParameters(void) { return new (std::nothrow) palvex_ParametersData; }

int palvex_SetParameter(palvex_Parameters set, const char* key, const char* value) {
  if (set == nullptr || key == nullptr) return -1;
  try {
    set->pairs.emplace_back(key, value != nullptr ? value : "");
  } catch (const std::bad_alloc&) {
    return -1;
  }
  return 0;
}

int palvex_FreeParameters(palvex_Parameters set) {
  delete set;
  return 0;
}

}  // extern "C"
