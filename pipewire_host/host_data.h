// The one record that palvex-pipewire's main shares with its process callback.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "processing_instance.h"
#include "sample_fifo.h"

struct pw_main_loop;
struct pw_filter;
struct spa_source;

// No lock guards it: main writes it before pw_filter_connect and reads the instance again only
// after pw_filter_destroy; in between only on_pw_process touches quantum, instance and FIFOs.
struct HostData {
  pw_main_loop* loop = nullptr;                  // created and destroyed by main
  spa_source* stop_event = nullptr;              // watches the stop flag (pw_signal.h)
  pw_filter* filter = nullptr;                   // created and destroyed by main
  std::vector<void*> in_ports;                   // "FL", then "FR"; a handle may be null
  std::vector<void*> out_ports;                  // "FL", then "FR"; a handle may be null
  uint32_t quantum = 0;                          // frames the instance was made for; 0 before
  InstanceFactory instance_factory;              // main's factory, copied
  std::shared_ptr<ProcessingInstance> instance;  // set and replaced only by on_pw_process
  std::vector<SampleFifo> in_fifo;               // per channel: input not yet processed
  std::vector<SampleFifo> out_fifo;              // per channel: output not yet delivered
};
