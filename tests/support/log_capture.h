// Catches what the code under test logs through main_logger, level and text of each record.
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

// Makes main_logger a logger of the given level that writes only to sink, for its lifetime.
class ScopedMainLogger {
public:
  ScopedMainLogger(int level, LogSink& sink) : logger_(level), previous_(main_logger) {
    logger_.sinks.push_back(&sink);
    main_logger = &logger_;
  }
  ~ScopedMainLogger() { main_logger = previous_; }
  ScopedMainLogger(const ScopedMainLogger&) = delete;
  ScopedMainLogger& operator=(const ScopedMainLogger&) = delete;
  MainLogger& logger() { return logger_; }

private:
  MainLogger logger_;
  MainLogger* previous_;
};
