// Runs palvex-webfront against the fake engine, with the fake's trace in a private folder.
#pragma once

#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "process.h"
#include "temp_dir.h"

constexpr const char* webfront_fake_version = "4.2.0-web";

std::string webfront_path();

// The help text fixture with its {NAME} fields filled in.
std::string expected_webfront_help(const std::map<std::string, std::string>& fields);

class FakeWebfront {
public:
  // env: on top of a clean environment; the fake engine and its trace are added.
  explicit FakeWebfront(EnvChanges env = {});

  // For runs that end on their own while configuring (help, version, option errors).
  ProcessResult run(const std::vector<std::string>& args);

  // Starts the program and waits until it has asked the engine for the web server's status,
  // which is the last call before the wait.
  bool start(const std::vector<std::string>& args);
  ChildProcess& child() { return *child_; }
  // Sends the signal and waits for the end; false when it did not end within the time-out.
  bool stop(int signal_number, std::chrono::milliseconds timeout = std::chrono::seconds(5));

  std::vector<std::string> trace() const;

private:
  TempDir dir_;
  EnvChanges env_;
  std::unique_ptr<ChildProcess> child_;
};
