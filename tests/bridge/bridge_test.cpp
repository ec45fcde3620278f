// The engine log bridge: level filter, level names, texts as sent, whole lines from many threads.
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <map>
#include <regex>
#include <sstream>
#include <streambuf>
#include <string>
#include <thread>
#include <vector>

#include "child_rerun.h"
#include "log.h"
#include "log_bridge.h"
#include "log_capture.h"
#include "palvex.h"

namespace {

// A line as the console prints it, without the escape sequences of a terminal.
const std::regex line_format(
    R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} (FATAL|ERROR|WARN |INFO |VERB |VERB[2-5]|DEBUG|NONE ) (.*))");

// Keeps each record as the console line it would become.
class LineSink : public LogSink {
public:
  void write(const LogRecord& record) override {
    std::string line = format_log_line(record);
    if (!line.empty() && line.back() == '\n') line.pop_back();
    lines.push_back(line);
  }
  std::vector<std::string> lines;
};

class Bridge : public testing::Test {
protected:
  void SetUp() override { log_sink = forward_library_log; }
  void TearDown() override { log_sink = nullptr; }

  // What one engine line gives at a verbosity: the printed level name and message, if any.
  std::vector<std::pair<std::string, std::string>> send(int verbosity, int severity,
                                                        const char* text) {
    LineSink sink;
    ScopedMainLogger logger(verbosity, sink);
    on_library_log(severity, text);
    std::vector<std::pair<std::string, std::string>> printed;
    for (const std::string& line : sink.lines) {
      std::smatch parts;
      EXPECT_TRUE(std::regex_match(line, parts, line_format)) << line;
      if (parts.size() == 3) printed.emplace_back(parts[1], parts[2]);
    }
    return printed;
  }
};

struct SeverityCase {
  int verbosity;
  int severity;
  const char* level_name;  // nullptr: the line is dropped
};

const SeverityCase severity_cases[] = {
    {4, 1, "FATAL"},   {4, 2, "ERROR"},     {4, 3, "WARN "},      {4, 4, "INFO "},
    {4, 5, nullptr},   {9, 9, "VERB5"},     {10, 9, "VERB5"},     {8, 9, nullptr},
    {4, 0, "NONE "},   {4, -1, "NONE "},    {10, -1000, "NONE "},  // below every level
    {10, 11, nullptr}, {10, 1000, nullptr},                        // above every level
};

TEST_F(Bridge, engine_severity_is_the_level_of_the_line) {
  for (const SeverityCase& c : severity_cases) {
    SCOPED_TRACE("verbosity " + std::to_string(c.verbosity) + ", severity " +
                 std::to_string(c.severity));
    const auto printed = send(c.verbosity, c.severity, "engine says hello");
    if (c.level_name == nullptr) {
      EXPECT_TRUE(printed.empty());
    } else {
      ASSERT_EQ(printed.size(), 1u);
      EXPECT_EQ(printed[0].first, c.level_name);
      EXPECT_EQ(printed[0].second, "engine says hello");
    }
  }
}

TEST_F(Bridge, engine_debug_lines_are_dropped_at_every_verbosity) {
  for (int verbosity = 1; verbosity <= 10; ++verbosity)
    EXPECT_TRUE(send(verbosity, 10, "debug detail").empty()) << "verbosity " << verbosity;
}

TEST_F(Bridge, texts_print_as_the_engine_sent_them) {
  const std::pair<const char*, std::string> texts[] = {
      {nullptr, "(null)"},
      {"", ""},
      {"100% done, {0} %s \\n", "100% done, {0} %s \\n"},  // nothing is a format
      {"  leading and trailing  ", "  leading and trailing  "},
  };
  for (const auto& [text, message] : texts) {
    const auto printed = send(4, 4, text);
    ASSERT_EQ(printed.size(), 1u);
    EXPECT_EQ(printed[0].second, message);
  }
}

TEST_F(Bridge, lines_without_a_logger_or_without_a_sink_are_dropped) {
  MainLogger* const saved = main_logger;
  main_logger = nullptr;  // as after the loggers' destructors at exit
  EXPECT_NO_FATAL_FAILURE(on_library_log(1, "late line"));
  main_logger = saved;

  // The web front-end never sets log_sink; a line must not unwind into the engine.
  log_sink = nullptr;
  LineSink sink;
  ScopedMainLogger logger(10, sink);
  on_library_log(1, "line before the bridge is set");
  EXPECT_TRUE(sink.lines.empty());
}

// The real console sink, on a stream, counting the lines it has written.
class CountingConsoleSink : public ConsoleSink {
public:
  explicit CountingConsoleSink(std::ostream* out) : ConsoleSink(out) {}
  void write(const LogRecord& record) override {
    ConsoleSink::write(record);
    written.fetch_add(1);
  }
  std::atomic<int> written{0};
};

// A stream that stalls in a cancellation point (a read that nothing answers) on its first
// write, as standard error does when whatever reads it has stopped.
class StallingBuffer : public std::streambuf {
public:
  StallingBuffer() {
    if (::pipe(never_written_) != 0) std::abort();
  }
  ~StallingBuffer() override {
    ::close(never_written_[0]);
    ::close(never_written_[1]);
  }
  std::atomic<bool> stalled{false};
  std::string text;

protected:
  std::streamsize xsputn(const char* data, std::streamsize size) override {
    if (!stalled.exchange(true)) {
      char byte;
      if (::read(never_written_[0], &byte, 1) < 0) std::abort();
    }
    text.append(data, static_cast<size_t>(size));
    return size;
  }
  int overflow(int c) override {
    if (c != traits_type::eof()) text.push_back(static_cast<char>(c));
    return traits_type::not_eof(c);
  }

private:
  int never_written_[2];
};

void* log_one_line(void*) {
  on_library_log(3, "cut short");
  return nullptr;
}

// An engine may cancel one of its threads while it logs: the unwind must go through the bridge
// (a swallowed one aborts the process) and leave the console usable for the other threads.
TEST(BridgeThreads, an_engine_thread_cancelled_while_it_logs_unwinds_and_the_console_goes_on) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        StallingBuffer buffer;
        std::ostream out(&buffer);
        ConsoleSink sink(&out);
        ScopedMainLogger logger(4, sink);
        log_sink = forward_library_log;
        pthread_t engine_thread;
        if (pthread_create(&engine_thread, nullptr, log_one_line, nullptr) != 0) std::_Exit(2);
        while (!buffer.stalled.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        pthread_cancel(engine_thread);
        void* result = nullptr;
        pthread_join(engine_thread, &result);
        if (result != PTHREAD_CANCELED) std::_Exit(3);
        out.clear();  // the cut line left the stream bad; the lock must be free again
        on_library_log(3, "after the cancel");
        if (buffer.text.find("WARN  after the cancel\n") == std::string::npos) std::_Exit(4);
        std::_Exit(0);
      },
      testing::ExitedWithCode(0), "");
}

constexpr int log_threads = 8;
constexpr int log_repeat = 250;

TEST(BridgeThreads, lines_from_many_engine_threads_at_once_stay_whole) {
  if (!rerun_in_child({{"PALVEX_FAKE_LOG",
                        "4:first engine line with some length to it|3:second line|4:NULL|"
                        "5:verbose, dropped at 4|2:"},
                       {"PALVEX_FAKE_LOG_THREADS", std::to_string(log_threads)},
                       {"PALVEX_FAKE_LOG_REPEAT", std::to_string(log_repeat)}}))
    return;
  std::ostringstream out;
  CountingConsoleSink sink(&out);
  ScopedMainLogger logger(4, sink);
  log_sink = forward_library_log;
  palvex_SetLoggerCallback(on_library_log);

  const int expected_lines = 4 * log_threads * log_repeat;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (sink.written.load() < expected_lines && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // nothing more should come
  palvex_SetLoggerCallback(nullptr);
  ASSERT_EQ(sink.written.load(), expected_lines);

  std::map<std::string, int> seen;  // "LEVEL|message" -> count
  std::istringstream lines(out.str());
  int count = 0;
  for (std::string line; std::getline(lines, line); ++count) {
    std::smatch parts;
    ASSERT_TRUE(std::regex_match(line, parts, line_format)) << "line " << count << ": " << line;
    ++seen[parts[1].str() + "|" + parts[2].str()];
  }
  EXPECT_EQ(count, expected_lines);
  const int each = log_threads * log_repeat;
  EXPECT_EQ(seen,
            (std::map<std::string, int>{{"INFO |first engine line with some length to it", each},
                                        {"WARN |second line", each},
                                        {"INFO |(null)", each},
                                        {"ERROR|", each}}));
}

}  // namespace
