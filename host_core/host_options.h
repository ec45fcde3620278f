// The command-line and environment stage that opens both audio hosts' main.
#pragma once

#include <string>
#include <vector>

#include "host_config.h"
#include "host_description.h"
#include "option_values.h"

// What the stage read: the instance settings and what main keeps for itself.
struct HostSettings {
  HostConfig config;                        // every processing instance is created from it
  std::string client_name;                  // -C; the description gives the first value
  std::string session_id;                   // -S, JACK only; empty: no session
  int verbosity = 4;                        // 4 to 10
  std::vector<std::string> deferred_texts;  // ENV lines, logged at level 6 once the level is set
};

// Reads STATE_DIR, PROC_PORT, HTTP_PORT, HTTPS_PORT, PROC_VERB, then the options in order, into
// settings. Returns options_go_on, or the status main ends with: 0 once -h or -V has printed,
// 1 once an option error has been reported.
int read_host_options(int argc, char** argv, const HostDescription& host, HostSettings& settings);
