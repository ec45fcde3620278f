// Runs an audio host with a chosen environment and arguments, cut off from any sound server.
#pragma once

#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

struct AudioHost {
  const char* program;         // under the build's bin/
  const char* help_fixture;    // under tests/data/cli/
  const char* default_client;  // client name before any -C
};

const AudioHost& jack_host();
const AudioHost& pipewire_host();
const std::vector<AudioHost>& both_hosts();

// Which hosts a case runs on.
enum class Hosts { both, jack, pipewire };
std::vector<AudioHost> hosts_of(Hosts which);

constexpr const char* fake_version = "7.3.1-cli";

// The values the help text shows; by default those of an empty environment.
struct HelpValues {
  const char* client = nullptr;  // null: the host's default client name
  std::string proc_verb;
  std::string json_port = "0";
  std::string state_dir = "/usr/share/velmorproc";
  std::string http_port = "0";
  std::string https_port = "0";
};

std::string expected_help(const AudioHost& host, const HelpValues& values);

// One private runtime folder per runner: no JACK server is started or reached, no PipeWire
// daemon is found.
class HostRunner {
public:
  HostRunner();
  // env: the stage's variables on top of a clean environment and the fake engine.
  ProcessResult run(const AudioHost& host, const EnvChanges& env,
                    const std::vector<std::string>& args);

private:
  TempDir runtime_;
  std::string jack_server_;
};

std::string program_path(const AudioHost& host);
