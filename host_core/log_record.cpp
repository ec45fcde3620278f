// Log records, level names and the text line that the console sinks print.
#include <time.h>
#include <unistd.h>

#include <iomanip>
#include <locale>

#include "log.h"

LogRecord::LogRecord(int level, const char* function_text, int line, const char* file, int code)
    : time_{},
      level_(level),
      thread_id_(static_cast<int>(gettid())),
      code_(code),
      line_(line),
      function_text(function_text),
      file_(file) {
  // The clock is read last, so the time is as close as it gets to the message's hand-over.
  gettimeofday(&time_, nullptr);
}

LogRecord::LogRecord(const timeval& time, int level, int thread_id, int line, const char* file,
                     const std::string& message)
    : time_(time),
      level_(level),
      thread_id_(thread_id),
      code_(0),
      line_(line),
      function_text(""),
      file_(file) {
  stream << message;
}

LogRecord::~LogRecord() = default;

const timeval* LogRecord::time() const { return &time_; }
int LogRecord::level() const { return level_; }
int LogRecord::thread_id() const { return thread_id_; }
int LogRecord::code() const { return code_; }
int LogRecord::line() const { return line_; }
const char* LogRecord::file() const { return file_; }

const char* LogRecord::message() const {
  message_cache = stream.str();
  return message_cache.c_str();
}

const char* LogRecord::function_name() const {
  const std::string text = function_text != nullptr ? function_text : "";
  const std::string::size_type paren = text.find('(');
  if (paren == std::string::npos) {
    function_name_cache = text;
  } else {
    // Only a space separates the return type from the name; a tab does not.
    std::string::size_type start = 0;
    if (paren > 0) {
      const std::string::size_type blank = text.rfind(' ', paren - 1);
      if (blank != std::string::npos) start = blank + 1;
    }
    function_name_cache = text.substr(start, paren - start);
  }
  return function_name_cache.c_str();
}

const char* log_level_name(int level) {
  static const char* const names[] = {"FATAL", "ERROR", "WARN",  "INFO",  "VERB",
                                      "VERB2", "VERB3", "VERB4", "VERB5", "DEBUG"};
  if (level < 1 || level > 10) return "NONE";
  return names[level - 1];
}

std::string format_log_line(const LogRecord& record) {
  const timeval* time = record.time();
  const time_t seconds = time->tv_sec;
  tm local{};
  localtime_r(&seconds, &local);

  std::ostringstream line;
  line.imbue(std::locale::classic());  // no digit grouping, whatever the program's locale
  line << (local.tm_year + 1900) << '-' << std::setfill('0') << std::setw(2) << (local.tm_mon + 1)
       << '-' << std::setw(2) << local.tm_mday << ' ' << std::setw(2) << local.tm_hour << ':'
       << std::setw(2) << local.tm_min << ':' << std::setw(2) << local.tm_sec << '.' << std::setw(3)
       << (time->tv_usec / 1000) << ' ' << std::setfill(' ') << std::left << std::setw(5)
       << log_level_name(record.level()) << ' ' << record.message() << '\n';
  return line.str();
}
