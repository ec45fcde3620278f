// Helpers for the engine's tests: a running process, a JSON client, captured log lines.
#pragma once

#include <chrono>
#include <mutex>
#include <nlohmann/json.hpp>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "json_client.h"
#include "palvex.h"

// Collects the engine's log lines for the life of the object (one at a time).
class EngineLogCapture {
public:
  explicit EngineLogCapture(int severity = 10);
  ~EngineLogCapture();
  std::vector<std::pair<int, std::string>> lines() const;
  bool contains(const std::string& text) const;  // any line holding text
  int count(const std::string& text) const;
};

struct ProcessOptions {
  std::string storage_dir;
  std::vector<std::pair<std::string, std::string>> parameters;
  std::vector<std::pair<std::string, std::string>> metadata;
  int chunk = 64;
  int json_port = 0;
};

// A process with its update thread, as a host makes one; torn down in the host's order.
class RunningProcess {
public:
  explicit RunningProcess(const ProcessOptions& options);
  ~RunningProcess();
  RunningProcess(const RunningProcess&) = delete;
  RunningProcess& operator=(const RunningProcess&) = delete;

  palvex_Process get() const { return process_; }
  int ready() const { return ready_; }  // palvex_WaitUpdateThreadReady's result
  void stop();

private:
  palvex_Parameters set_ = nullptr;
  palvex_Process process_ = nullptr;
  std::thread thread_;
  int ready_ = -100;
};

// Reserves a port by listening on it (all IPv4 addresses) until destroyed.
class PortHolder {
public:
  PortHolder();
  ~PortHolder();
  int port() const { return port_; }

private:
  int fd_ = -1;
  int port_ = 0;
};

// Two planar channels of one chunk, filled with a known ramp of values.
struct Chunk {
  explicit Chunk(int frames, float scale = 1.0f);
  std::vector<float> left, right, out_left, out_right;
  float* in[2];
  float* out[2];
};
