// The instance factory and the engine instance of one audio host, made from a HostConfig.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "host_config.h"
#include "palvex.h"

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
  palvex_Process process = nullptr;  // read by the audio callbacks
  std::thread update_thread;         // joinable only while process is set
  KeyValuePairs pending_metadata;    // waits for the process
  palvex_WebserverHandle webserver = PALVEX_NO_WEBSERVER;
};

uint32_t select_frames_per_chunk(uint32_t frames);
std::shared_ptr<ProcessingInstance> create_processing_instance(const HostConfig& config,
                                                               uint32_t frames);
void run_update_thread(ProcessingInstance* instance, uint16_t json_port);
