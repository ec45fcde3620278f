// The engine's log: a severity filter shared by all threads and an optional host callback.
#include "engine_log.h"

#include <atomic>
#include <cstdio>

namespace engine {

static std::atomic<int> log_severity{kInfo};
static std::atomic<palvex_LoggerCallback> log_callback{nullptr};

void set_log_severity(int level) { log_severity.store(level, std::memory_order_relaxed); }

void set_log_callback(palvex_LoggerCallback callback) {
  log_callback.store(callback, std::memory_order_release);
}

bool log_enabled(int severity) { return severity <= log_severity.load(std::memory_order_relaxed); }

void log(int severity, const std::string& text) {
  if (!log_enabled(severity)) return;
  if (palvex_LoggerCallback callback = log_callback.load(std::memory_order_acquire)) {
    callback(severity, text.c_str());
    return;
  }
  // Without a callback (the web front-end registers none) the operator still needs the lines,
  // above all a generated login secret; one fprintf keeps each line whole.
  std::fprintf(stderr, "palvex: %s\n", text.c_str());
}

}  // namespace engine

extern "C" {

int palvex_SetLogSeverity(int level) {
  engine::set_log_severity(level);
  return 0;
}

int palvex_SetLoggerCallback(palvex_LoggerCallback callback) {
  engine::set_log_callback(callback);
  return 0;
}

}  // extern "C"
