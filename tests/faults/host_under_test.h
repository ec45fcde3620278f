// palvex-jack with the stand-in engine as a child process on a private jackd, with a JSON port
// and an HTTP port of its own, and what the fault tests ask of it afterwards.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "jack_server.h"
#include "process.h"

struct HostUnderTest {
  HostUnderTest(const JackServer& server, const std::string& state_dir,
                std::vector<std::string> extra_args = {});
  int json_port;
  int http_port;
  std::unique_ptr<ChildProcess> process;
};

// True when something accepts TCP connections on 127.0.0.1:port.
bool port_listening(int port);
// Files in the state folder that are not whole: temporary files left over, or state files
// that do not parse as JSON. Empty when all is well.
std::vector<std::string> torn_state_files(const std::string& state_dir);
