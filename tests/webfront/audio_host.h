// The audio host that the web front-end reaches: palvex-jack on a private dummy jackd.
#pragma once

#include <memory>
#include <string>

#include "jack_server.h"
#include "process.h"
#include "temp_dir.h"

// palvex-jack with the real engine, serving its JSON port and no web port of its own.
class JackAudioHost {
public:
  explicit JackAudioHost(const JackServer& jackd);
  ~JackAudioHost();

  // Starts it on the port, or on a free one when 0; true once the JSON port accepts.
  bool start(int json_port = 0);
  // SIGTERM and wait for the orderly end; true when it ended by itself.
  bool stop();
  int json_port() const { return json_port_; }
  std::string log() const;  // what it wrote on standard error

private:
  const JackServer& jackd_;
  TempDir state_;
  int json_port_ = 0;
  std::unique_ptr<ChildProcess> host_;
  std::string earlier_log_;
};

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
