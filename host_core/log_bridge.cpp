// Carries the engine's log lines into main_logger, from whatever engine thread sends them.
#include "log_bridge.h"

#include <exception>

#include "log.h"

extern "C" void on_library_log(int severity, const char* text) {
  // No error may unwind into the engine's C frames: a line that cannot be passed on (out of
  // memory, a failing stream) is dropped. Only errors: the unwind of a thread that the engine
  // cancels while it logs is no exception of ours and must go on, or the process aborts.
  try {
    if (!log_sink) return;
    log_sink(severity, std::string(text != nullptr ? text : "(null)"));
  } catch (const std::exception&) {
  }
}

void forward_library_log(int severity, const std::string& text) {
  // The engine's DEBUG lines are never written, whatever the verbosity.
  if (severity == 10) return;
  MainLogger* logger = main_logger;
  if (logger == nullptr || logger->level < severity) return;
  LogRecord record(severity, "", __LINE__, "", 0);
  record.stream << text.c_str();  // up to the first NUL, as the engine meant it
  // The level test is already made: write to the sinks directly, as MainLogger::log would.
  for (LogSink* sink : logger->sinks) sink->write(record);
}
