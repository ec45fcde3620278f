// The environment and command-line stage of palvex-webfront.
#pragma once

#include <cstdint>
#include <string>

#include "host_config.h"
#include "option_values.h"

// Where the engine's web server listens, and the audio host whose JSON port it serves.
struct WebfrontSettings {
  uint32_t http_port = 8080;            // HTTP_PORT, -w
  uint32_t https_port = 8443;           // HTTPS_PORT, -s
  uint32_t json_port = 5010;            // PROC_PORT, -p: the audio host's JSON port
  std::string address = "palvex-host";  // PROC_IP, -i: how operators' networks name the host
  KeyValuePairs params;                 // -a pairs, in command-line order
};

// Reads HTTP_PORT, HTTPS_PORT, PROC_PORT, PROC_IP, then the options in order, into settings.
// Returns options_go_on, or the status main ends with: 0 once -h or -V has printed, 1 once an
// option error has been reported.
int read_webfront_options(int argc, char** argv, WebfrontSettings& settings);
