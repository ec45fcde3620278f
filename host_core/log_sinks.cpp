// The console sinks (whole lines under a mutex, coloured on a terminal) and the queue sink.
#include <unistd.h>

#include <cstdio>
#include <ostream>

#include "log.h"

namespace {

// Unlocks on every way out, so an exception from a stream never leaves the mutex locked.
class MutexHold {
public:
  explicit MutexHold(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ~MutexHold() { pthread_mutex_unlock(&mutex_); }
  MutexHold(const MutexHold&) = delete;
  MutexHold& operator=(const MutexHold&) = delete;

private:
  pthread_mutex_t& mutex_;
};

const char* level_color(int level) {
  static const char* const colors[] = {
      "\x1b[97m\x1b[41m",  // FATAL: bright white on red
      "\x1b[91m",          // ERROR: bright red
      "\x1b[93m",          // WARN: bright yellow
      "\x1b[97m",          // INFO: bright white
      "\x1b[96m",          // VERB: bright cyan
      "\x1b[95m",          // VERB2: bright magenta
      "\x1b[36m",          // VERB3: cyan
      "\x1b[35m",          // VERB4: magenta
      "\x1b[94m",          // VERB5: bright blue
      "\x1b[90m",          // DEBUG: grey
  };
  if (level < 1 || level > 10) return "";
  return colors[level - 1];
}

}  // namespace

ConsoleSink::ConsoleSink(std::ostream* out) : out(out), color(isatty(fileno(stderr)) != 0) {
  pthread_mutex_init(&mutex, nullptr);
}

ConsoleSink::~ConsoleSink() { pthread_mutex_destroy(&mutex); }

void ConsoleSink::write(const LogRecord& record) {
  const std::string line = format_log_line(record);  // formatted outside the lock
  MutexHold hold(mutex);
  *out << line;
  out->flush();
}

ColorConsoleSink::ColorConsoleSink(std::ostream* out, std::ostream* color_out)
    : ConsoleSink(out), color_out(color_out) {}

ColorConsoleSink::~ColorConsoleSink() = default;

void ColorConsoleSink::write(const LogRecord& record) {
  const std::string line = format_log_line(record);
  // Colour, line and reset of one record appear together.
  MutexHold hold(mutex);
  if (color) *color_out << level_color(record.level());
  *out << line;
  out->flush();
  // After the newline, so that a line wrapped by the terminal is coloured to its end.
  if (color) *color_out << "\x1b[0m\x1b[0K";
}

QueueSink::~QueueSink() = default;

// Not a real-time function itself: copying the record's texts allocates, which is why real-time
// code logs only on a path that blocks by design. The enqueue it ends with is real-time safe.
void QueueSink::write(const LogRecord& record) {
  if (log_init_done == 0) return;  // the queue is not set up: ignored, not counted
  // Everything is read from the record before the queue is touched.
  const timeval time = *record.time();
  const int level = record.level();
  const int thread_id = record.thread_id();
  const int line = record.line();
  const char* file = record.file();
  std::string function_name = record.function_name();
  std::string message = record.message();
  log_queue.enqueue(time, level, thread_id, line, file, std::move(function_name),
                    std::move(message));
}
