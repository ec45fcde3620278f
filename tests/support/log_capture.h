// Catches what the code under test logs through main_logger or rt_logger, level and text of
// each record.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "log.h"

struct LoggedLine {
  int level;
  std::string text;
  bool operator==(const LoggedLine& other) const {
    return level == other.level && text == other.text;
  }
};

inline std::ostream& operator<<(std::ostream& out, const LoggedLine& line) {
  return out << line.level << ":\"" << line.text << "\"";
}

class RecordingSink : public LogSink {
public:
  void write(const LogRecord& record) override {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.push_back({record.level(), record.stream.str()});
  }
  std::vector<LoggedLine> lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    lines_.clear();
  }

private:
  std::mutex mutex_;
  std::vector<LoggedLine> lines_;
};

// Makes the logger behind `slot` (main_logger or rt_logger) one of the given level that writes
// only to sink, for its lifetime.
template <typename Logger, Logger*& slot>
class ScopedLogger {
public:
  ScopedLogger(int level, LogSink& sink) : logger_(level), previous_(slot) {
    logger_.sinks.push_back(&sink);
    slot = &logger_;
  }
  ~ScopedLogger() { slot = previous_; }
  ScopedLogger(const ScopedLogger&) = delete;
  ScopedLogger& operator=(const ScopedLogger&) = delete;
  Logger& logger() { return logger_; }

private:
  Logger logger_;
  Logger* previous_;
};

using ScopedMainLogger = ScopedLogger<MainLogger, main_logger>;
using ScopedRtLogger = ScopedLogger<RtLogger, rt_logger>;
