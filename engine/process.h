// One processing instance: its audio state, its configuration and its update loop.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>

#include "audio_state.h"
#include "config_tree.h"
#include "palvex.h"

struct palvex_ProcessData {
  enum class Loop { kNotStarted, kReady, kFailed, kEnded };

  palvex_ProcessData() = default;
  ~palvex_ProcessData();  // closes wake_fd, also when creation fails half-way
  palvex_ProcessData(const palvex_ProcessData&) = delete;
  palvex_ProcessData& operator=(const palvex_ProcessData&) = delete;

  std::shared_ptr<engine::AudioState> audio;   // shared with config, which reads its meters
  std::shared_ptr<engine::ConfigTree> config;  // the web server may hold it a little longer
  int wake_fd = -1;                            // eventfd: a stop wakes the update loop

  std::mutex mutex;  // guards loop and stop_requested
  std::condition_variable changed;
  Loop loop = Loop::kNotStarted;
  bool stop_requested = false;  // kept, so a stop before the start is not lost
};
