// The command-line and environment stage that opens both audio hosts' main.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "processing_instance.h"

enum class HostVariant { jack, pipewire };

// What the stage read: the instance settings plus what main keeps for itself.
struct HostSettings {
  std::string state_filename;
  std::string onair_filename;
  bool storage_ro = false;
  bool state_ro = false;
  KeyValuePairs params;
  KeyValuePairs metas;
  std::string state_dir;               // still text; becomes HostConfig::state_dir later
  uint16_t json_port = 0;
  uint32_t http_port = 0;
  uint32_t https_port = 0;
  std::string client_name;             // JACK: "palvex" unless -C; PipeWire: empty unless -C
  std::string session_id;              // JACK only; empty: no session
  int verbosity = 4;                   // 4 to 10
  std::vector<std::string> deferred_texts;  // ENV lines, logged at level 6 once the level is set
};

// Reads STATE_DIR, PROC_PORT, HTTP_PORT, HTTPS_PORT, PROC_VERB, then the options in order.
// -h and -V end the program with status 0, an option error with status 1.
HostSettings read_host_settings(int argc, char** argv, HostVariant variant);

// Option-argument readers, shared with the web front-end: stream extraction with saturation;
// an empty or blank text leaves the value as it was.
void read_port_option(const char* text, uint16_t& port);
void read_port_option(const char* text, uint32_t& port);
// Splits at the first "="; false when the text is empty or holds no "=".
bool split_key_value(const char* text, std::pair<std::string, std::string>& pair);

// The engine's version text for the banner, -V and -h; "unknown" when the engine gives none.
std::string engine_version_text();
