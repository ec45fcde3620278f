// Logging of the audio hosts: records, the line format, sinks, the two loggers and the
// lock-free queue that carries real-time records to a low-priority printer thread.
#pragma once

#include <pthread.h>
#include <sys/time.h>

#include <atomic>
#include <cstdint>
#include <iosfwd>
#include <sstream>
#include <string>
#include <vector>

#include "realtime.h"

// One log entry, built on the stack of the log statement and never shared between threads.
// It has no base class and no subclass.
class LogRecord {
public:
  LogRecord(int level, const char* function_text, int line, const char* file, int code);
  // Replays a record taken out of the log queue: its own time, thread, line, file and text.
  LogRecord(const timeval& time, int level, int thread_id, int line, const char* file,
            const std::string& message);
  LogRecord(const LogRecord&) = delete;
  LogRecord& operator=(const LogRecord&) = delete;

  virtual const timeval* time() const;
  virtual int level() const;
  virtual int thread_id() const;
  virtual int code() const;
  virtual int line() const;
  // The text streamed so far; valid until the next call or the end of the record.
  virtual const char* message() const;
  // The text between the last space before the first "(" and that "(" (a tab is no blank), or
  // the whole function text when it holds no "("; computed afresh at every call.
  virtual const char* function_name() const;
  virtual const char* file() const;
  virtual ~LogRecord();

private:
  timeval time_;  // taken last in construction
  int level_;
  int thread_id_;  // kernel thread id of the writer
  int code_;       // always 0; nothing reads it
  int line_;

public:
  std::ostringstream stream;  // the message text, written by the log statement

private:
  const char* function_text;  // static text, not owned
  const char* file_;          // static text, not owned: the queue keeps the pointer
  // The getters are const so that sinks can read a const record; they only fill these.
  mutable std::string function_name_cache;
  mutable std::string message_cache;
};

const char* log_level_name(int level);  // "FATAL" ... "DEBUG", else "NONE"
std::string format_log_line(const LogRecord& record);

class LogSink {
public:
  virtual ~LogSink() = default;
  virtual void write(const LogRecord& record) = 0;
};

// Writes whole lines under a mutex, so lines of different threads never interleave.
class ConsoleSink : public LogSink {
public:
  explicit ConsoleSink(std::ostream* out);
  ~ConsoleSink() override;
  void write(const LogRecord& record) override;

protected:
  std::ostream* out;      // not owned
  pthread_mutex_t mutex;  // held while one line is written
  bool color;             // stderr was a terminal when the sink was built
};

// Adds the level's colour before a line and the reset after it, when stderr was a terminal.
class ColorConsoleSink : public ConsoleSink {
public:
  ColorConsoleSink(std::ostream* out, std::ostream* color_out);
  ~ColorConsoleSink() override;
  void write(const LogRecord& record) override;

private:
  std::ostream* color_out;  // where the escape sequences go, not owned
};

// Enqueues into log_queue without ever taking a lock: the sink of the real-time logger.
class QueueSink : public LogSink {
public:
  constexpr QueueSink() = default;
  ~QueueSink() override;
  void write(const LogRecord& record) override;
};

class MainLogger {
public:
  explicit MainLogger(int level);
  virtual ~MainLogger();
  virtual void log(const LogRecord& record);

  int level;                    // records of a higher level are not written
  std::vector<LogSink*> sinks;  // written in order, not owned
};

class RtLogger {
public:
  explicit RtLogger(int level);
  virtual ~RtLogger();
  virtual void log(const LogRecord& record);

  int level;
  std::vector<LogSink*> sinks;
};

struct alignas(64) LogQueueCell {
  std::atomic<uint32_t> seq{0};  // position when free, position + 1 once it holds that record
  timeval time{};
  int level = 0;
  int thread_id = 0;
  int line = 0;
  const char* file = nullptr;  // the record's pointer itself, not a copy
  std::string function_name;
  std::string message;
};

// Bounded multi-producer ring with a sequence number per cell (after Vyukov).
struct alignas(64) LogQueue {
  LogQueueCell* cells = nullptr;  // owned, 64-byte aligned; null before init
  uint32_t capacity = 0;          // a power of two, at least 2
  uint32_t mask = 0;
  alignas(64) std::atomic<uint32_t> enqueue_pos{0};
  alignas(64) std::atomic<uint32_t> dequeue_pos{0};
  alignas(64) std::atomic<int64_t> dropped{0};  // lost while full; the printer takes the count

  // Rounds up to a power of two, at least 2. Must not run while a writer can reach the
  // queue. Throws std::bad_alloc when that would reach 2^24 cells; the old cells then stay.
  void init(uint32_t requested);
  // Lock-free for any number of producers; a full queue drops the record and counts it.
  // Never waits, never allocates or frees. Does nothing while there are no cells.
  void enqueue(const timeval& time, int level, int thread_id, int line, const char* file,
               std::string function_name, std::string message) PALVEX_REALTIME;
  // Single consumer, wait-free: takes the oldest cell if it is filled and hands it back to the
  // producers; false when it is not filled yet (or there are no cells).
  bool dequeue(LogQueueCell& out);
  // Frees the cells: what ~LogQueue does, run by the exit handler the bootstrap registers.
  void release();
  ~LogQueue();
};

extern MainLogger* main_logger;
extern RtLogger* rt_logger;
extern QueueSink queue_sink;
extern unsigned char log_init_done;
extern LogQueue log_queue;
ColorConsoleSink& color_console_sink();

// The first act of every audio host's main.
void log_bootstrap();
// Both loggers to one level, each when it exists.
void set_log_levels(int level);

// The printer of real-time records: a low-priority thread that writes queued records through
// main_logger's sinks and reports drops. Started once the levels are set; nothing happens
// before the bootstrap or while it runs. It stops itself at exit, before ~LogQueue.
void start_log_queue_printer();
// Prints what was queued before the call, reports remaining drops and joins. Idempotent.
void stop_log_queue_printer();

// The log statement: the message's operands are not evaluated when the level test fails.
#define PALVEX_LOG(logger, lvl, message)                                       \
  do {                                                                         \
    auto* palvex_log_target_ = (logger);                                       \
    if (palvex_log_target_ != nullptr && palvex_log_target_->level >= (lvl)) { \
      LogRecord palvex_log_record_((lvl), "", __LINE__, "", 0);                \
      palvex_log_record_.stream << message;                                    \
      palvex_log_target_->log(palvex_log_record_);                             \
    }                                                                          \
  } while (0)
