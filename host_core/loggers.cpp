// The two loggers, the logging globals, the logger bootstrap and the level setting.
#include <cstdlib>
#include <iostream>

#include "log.h"

MainLogger* main_logger = nullptr;
RtLogger* rt_logger = nullptr;
QueueSink queue_sink;
unsigned char log_init_done = 0;
LogQueue log_queue;

MainLogger::MainLogger(int level) : level(level) { main_logger = this; }

MainLogger::~MainLogger() {
  sinks.clear();
  sinks.shrink_to_fit();
  main_logger = nullptr;  // later log statements find no logger and do nothing
}

void MainLogger::log(const LogRecord& record) {
  if (record.level() > level) return;
  for (LogSink* sink : sinks) sink->write(record);
}

RtLogger::RtLogger(int level) : level(level) { rt_logger = this; }

RtLogger::~RtLogger() {
  sinks.clear();
  sinks.shrink_to_fit();
  rt_logger = nullptr;
}

void RtLogger::log(const LogRecord& record) {
  if (record.level() > level) return;
  for (LogSink* sink : sinks) sink->write(record);
}

ColorConsoleSink& color_console_sink() {
  static ColorConsoleSink sink(&std::cerr, &std::cerr);
  return sink;
}

namespace {
// log_queue itself is destroyed last of all at exit; its cells go here, in the bootstrap's
// order: before ~RtLogger, ~MainLogger and ~ColorConsoleSink.
void release_log_queue() { log_queue.release(); }
}  // namespace

void log_bootstrap() {
  // Each static's destructor is registered as it is built: they run in reverse at exit.
  ColorConsoleSink& console = color_console_sink();
  static MainLogger main_instance(3);
  main_instance.sinks.clear();
  main_instance.sinks.push_back(&console);

  if (log_init_done == 0) {
    static RtLogger rt_instance(main_logger != nullptr ? main_logger->level : 0);
    rt_instance.sinks.clear();
    rt_instance.sinks.push_back(&queue_sink);
    static const bool release_registered = (std::atexit(release_log_queue), true);
    (void)release_registered;
    log_queue.init(1024);
    log_init_done = 1;
  }
}

void set_log_levels(int level) {
  if (main_logger != nullptr) main_logger->level = level;
  if (rt_logger != nullptr) rt_logger->level = level;
}
