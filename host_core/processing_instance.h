// The host configuration, the instance factory, and the engine instance of one audio host.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "palvex.h"

using KeyValuePairs = std::vector<std::pair<std::string, std::string>>;

// The settings that create a processing instance; read only by create_processing_instance.
struct HostConfig {
  std::string state_filename;       // -N: state file name, when instances share a directory
  std::string onair_filename;       // -O: on-air file name, likewise
  bool storage_ro = false;          // -R
  bool state_ro = false;            // -r
  KeyValuePairs params;             // -a pairs, in command-line order
  KeyValuePairs metas;              // -m pairs, in command-line order
  std::filesystem::path state_dir;  // STATE_DIR, -D
  uint16_t json_port = 0;           // PROC_PORT, -j (5010 by default when no web port is set)
  uint32_t http_port = 0;           // HTTP_PORT, -w; 0: no HTTP listener
  uint32_t https_port = 0;          // HTTPS_PORT, -s; 0: no HTTPS listener
};

class ProcessingInstance;

// Takes the sound server's frames per cycle; returns an empty pointer when creation failed.
using InstanceFactory = std::function<std::shared_ptr<ProcessingInstance>(uint32_t frames)>;

// A factory whose target holds its own copy of config.
InstanceFactory make_instance_factory(const HostConfig& config);

class ProcessingInstance {
public:
  ProcessingInstance();  // throws std::bad_alloc when the engine gives no parameter set
  ProcessingInstance(const ProcessingInstance&) = delete;
  ProcessingInstance& operator=(const ProcessingInstance&) = delete;
  virtual ~ProcessingInstance();
  // Run on the update thread around the engine's update loop; empty in both hosts.
  virtual void before_update_loop();
  virtual void after_update_loop();

  void add_metadata(const std::string& key, const std::string& value);
  // Web server, update thread, engine process, in this order; a second call does nothing.
  void stop();

  palvex_Parameters parameter_set;
  palvex_Process process = nullptr;    // read by the audio callbacks
  std::thread update_thread;           // joinable only while process is set
  KeyValuePairs pending_metadata;      // waits for the process
  palvex_WebserverHandle webserver = PALVEX_NO_WEBSERVER;
};

uint32_t select_frames_per_chunk(uint32_t frames);
std::shared_ptr<ProcessingInstance> create_processing_instance(const HostConfig& config,
                                                               uint32_t frames);
void run_update_thread(ProcessingInstance* instance, uint16_t json_port);
