// The audio host that the web front-end reaches: palvex-jack on a private dummy jackd.
#pragma once

#include <memory>
#include <string>

#include "host_run.h"
#include "jack_server.h"
#include "process.h"

// palvex-jack with the stand-in engine, serving its JSON port and no web port of its own; a
// restart passes the JSON port and state folder of the run before. Ready once
// wait_for_json_port() says so.
std::unique_ptr<HostRun> start_audio_host(const JackServer& jackd, const std::string& state_dir,
                                          int json_port = 0);

// palvex-webfront with the real engine, pointed at an audio host on 127.0.0.1.
class RealWebfront {
public:
  // env: the web login and TLS variables on top of a clean environment.
  RealWebfront(int json_port, EnvChanges env);
  ~RealWebfront();

  bool start_http();   // HTTP on a free port, HTTPS off
  bool start_https();  // HTTPS on a free port, HTTP off
  bool stop();         // SIGTERM; true when it ended within a few seconds
  int web_port() const { return web_port_; }
  ChildProcess& child() { return *child_; }

private:
  bool start(const std::string& http, const std::string& https);
  int json_port_;
  EnvChanges env_;
  int web_port_ = 0;
  std::unique_ptr<ChildProcess> child_;
};
