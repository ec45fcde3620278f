// Loggers, the log statement and the console sinks, with and without a terminal.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pty.h>
#include <unistd.h>

#include <functional>
#include <memory>
#include <sstream>
#include <streambuf>
#include <string>
#include <vector>

#include "log.h"

namespace {

// Remembers, in one shared list, which sink saw which record.
class OrderSink : public LogSink {
public:
  OrderSink(std::vector<std::string>& seen, std::string name) : seen_(seen), name_(name) {}
  void write(const LogRecord& record) override { seen_.push_back(name_ + ":" + record.message()); }

private:
  std::vector<std::string>& seen_;
  std::string name_;
};

// Runs make() while standard error is the given descriptor: sinks decide on colour then.
template <typename Make>
auto with_stderr(int fd, Make make) {
  const int saved = dup(2);
  dup2(fd, 2);
  auto made = make();
  dup2(saved, 2);
  close(saved);
  return made;
}

struct Terminal {
  int master = -1, slave = -1;
  Terminal() { openpty(&master, &slave, nullptr, nullptr, nullptr); }
  ~Terminal() {
    close(master);
    close(slave);
  }
};

struct NotATerminal {
  int fd = open("/dev/null", O_WRONLY);
  ~NotATerminal() { close(fd); }
};

// Reaches the protected mutex, to see that no way out leaves it locked.
class ProbeSink : public ColorConsoleSink {
public:
  using ColorConsoleSink::ColorConsoleSink;
  bool mutex_free() {
    if (pthread_mutex_trylock(&mutex) != 0) return false;
    pthread_mutex_unlock(&mutex);
    return true;
  }
};

std::string line_at_level(int level, const std::string& message) {
  timeval time{};
  LogRecord record(time, level, 1, 1, "", message);
  return format_log_line(record);
}

template <typename Logger>
void check_level_test(const char* kind) {
  struct Case {
    int logger_level, record_level;
    bool written;
  };
  const Case cases[] = {{4, 3, true},   {4, 4, true},  {4, 5, false}, {3, 4, false},
                        {10, 10, true}, {0, 1, false}, {0, 0, true},  {4, -1, true}};
  for (const Case& c : cases) {
    std::vector<std::string> seen;
    OrderSink sink(seen, "s");
    Logger logger(c.logger_level);
    logger.sinks.push_back(&sink);
    LogRecord record(c.record_level, "", 1, "", 0);
    record.stream << "r";
    logger.log(record);
    EXPECT_EQ(seen.size(), c.written ? 1u : 0u)
        << kind << " level " << c.logger_level << ", record " << c.record_level;
  }
}

TEST(Loggers, write_records_up_to_their_level) {
  check_level_test<MainLogger>("MainLogger");
  check_level_test<RtLogger>("RtLogger");
}

TEST(Loggers, write_to_every_sink_in_order) {
  std::vector<std::string> seen;
  OrderSink first(seen, "1"), second(seen, "2"), third(seen, "3");
  MainLogger logger(4);
  logger.sinks = {&first, &second, &third, &first};
  PALVEX_LOG(main_logger, 4, "a");
  PALVEX_LOG(main_logger, 2, "b");
  EXPECT_EQ(seen,
            (std::vector<std::string>{"1:a", "2:a", "3:a", "1:a", "1:b", "2:b", "3:b", "1:b"}));
}

TEST(Loggers, point_to_themselves_until_destroyed) {
  {
    MainLogger main_one(4);
    RtLogger rt_one(4);
    EXPECT_EQ(main_logger, &main_one);
    EXPECT_EQ(rt_logger, &rt_one);
  }
  EXPECT_EQ(main_logger, nullptr);
  EXPECT_EQ(rt_logger, nullptr);
}

TEST(LogStatement, evaluates_the_message_only_when_the_level_passes) {
  std::vector<std::string> seen;
  OrderSink sink(seen, "s");
  int evaluations = 0;
  const auto count = [&evaluations] { return ++evaluations; };
  {
    MainLogger logger(4);
    logger.sinks.push_back(&sink);
    PALVEX_LOG(main_logger, 5, "skipped " << count());
    EXPECT_EQ(evaluations, 0);
    PALVEX_LOG(main_logger, 4, "written " << count());
    EXPECT_EQ(evaluations, 1);
  }
  // The logger is gone, as after exit: the statement does nothing and does not fail.
  PALVEX_LOG(main_logger, 1, "after " << count());
  RtLogger* no_logger = nullptr;
  PALVEX_LOG(no_logger, 1, "none " << count());
  EXPECT_EQ(evaluations, 1);
  EXPECT_EQ(seen, (std::vector<std::string>{"s:written 1"}));
}

TEST(LogStatement, builds_the_record_with_its_line_and_empty_texts) {
  struct Capture : LogSink {
    int line = 0, code = -1;
    std::string function, file, message;
    void write(const LogRecord& record) override {
      line = record.line();
      code = record.code();
      function = record.function_name();
      file = record.file();
      message = record.message();
    }
  } capture;
  RtLogger logger(2);
  logger.sinks.push_back(&capture);
  const int line = __LINE__ + 1;
  PALVEX_LOG(rt_logger, 2, "JACK bad number of frames " << 100 << " " << 64);
  EXPECT_EQ(capture.line, line);
  EXPECT_EQ(capture.code, 0);
  EXPECT_EQ(capture.function, "");
  EXPECT_EQ(capture.file, "");
  EXPECT_EQ(capture.message, "JACK bad number of frames 100 64");
}

TEST(ConsoleSink, writes_the_formatted_line) {
  std::ostringstream out;
  ConsoleSink sink(&out);
  timeval time{};
  LogRecord record(time, 3, 1, 1, "", "plain");
  sink.write(record);
  sink.write(record);
  EXPECT_EQ(out.str(), format_log_line(record) + format_log_line(record));
}

std::string color_of(int level) {
  switch (level) {
    case 1:
      return "\x1b[97m\x1b[41m";
    case 2:
      return "\x1b[91m";
    case 3:
      return "\x1b[93m";
    case 4:
      return "\x1b[97m";
    case 5:
      return "\x1b[96m";
    case 6:
      return "\x1b[95m";
    case 7:
      return "\x1b[36m";
    case 8:
      return "\x1b[35m";
    case 9:
      return "\x1b[94m";
    case 10:
      return "\x1b[90m";
    default:
      return "";
  }
}

TEST(ColorConsoleSink, colours_each_level_on_a_terminal) {
  Terminal terminal;
  std::ostringstream out;
  std::unique_ptr<ColorConsoleSink> sink =
      with_stderr(terminal.slave, [&] { return std::make_unique<ColorConsoleSink>(&out, &out); });
  for (int level = -1; level <= 11; ++level) {
    out.str("");
    timeval time{};
    LogRecord record(time, level, 1, 1, "", "text");
    sink->write(record);
    EXPECT_EQ(out.str(), color_of(level) + line_at_level(level, "text") + "\x1b[0m\x1b[0K")
        << "level " << level;
  }
}

TEST(ColorConsoleSink, sends_escapes_to_the_colour_stream_only) {
  Terminal terminal;
  std::ostringstream out, escapes;
  std::unique_ptr<ColorConsoleSink> sink = with_stderr(
      terminal.slave, [&] { return std::make_unique<ColorConsoleSink>(&out, &escapes); });
  timeval time{};
  LogRecord record(time, 2, 1, 1, "", "e");
  sink->write(record);
  EXPECT_EQ(out.str(), line_at_level(2, "e"));
  EXPECT_EQ(escapes.str(), "\x1b[91m\x1b[0m\x1b[0K");
}

TEST(ColorConsoleSink, stays_plain_when_stderr_was_no_terminal_at_its_creation) {
  NotATerminal plain;
  std::ostringstream out;
  std::unique_ptr<ColorConsoleSink> sink =
      with_stderr(plain.fd, [&] { return std::make_unique<ColorConsoleSink>(&out, &out); });
  // A terminal from now on changes nothing.
  Terminal terminal;
  with_stderr(terminal.slave, [&] {
    for (int level = -1; level <= 11; ++level) {
      timeval time{};
      LogRecord record(time, level, 1, 1, "", "text");
      sink->write(record);
    }
    return 0;
  });
  std::string expected;
  for (int level = -1; level <= 11; ++level) expected += line_at_level(level, "text");
  EXPECT_EQ(out.str(), expected);
}

TEST(ColorConsoleSink, leaves_the_mutex_free_when_the_stream_throws) {
  // Standard error that refuses every byte, on a stream that throws for it.
  struct RefusingBuffer : std::streambuf {
    int overflow(int) override { return traits_type::eof(); }
  } refusing;
  std::ostream out(&refusing);
  out.exceptions(std::ios::badbit);
  Terminal terminal;
  std::unique_ptr<ProbeSink> sink =
      with_stderr(terminal.slave, [&] { return std::make_unique<ProbeSink>(&out, &out); });
  timeval time{};
  LogRecord record(time, 4, 1, 1, "", "lost");
  EXPECT_ANY_THROW(sink->write(record));
  EXPECT_TRUE(sink->mutex_free());
}

}  // namespace
