// Makes rt_logger a logger of the given level that writes only to a recording sink.
#pragma once

#include "log.h"
#include "log_capture.h"

class ScopedRtLogger {
public:
  ScopedRtLogger(int level, LogSink& sink) : logger_(level), previous_(rt_logger) {
    logger_.sinks.push_back(&sink);
    rt_logger = &logger_;
  }
  ~ScopedRtLogger() { rt_logger = previous_; }
  ScopedRtLogger(const ScopedRtLogger&) = delete;
  ScopedRtLogger& operator=(const ScopedRtLogger&) = delete;

private:
  RtLogger logger_;
  RtLogger* previous_;
};
