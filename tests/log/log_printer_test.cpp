// The printer of real-time records, in this process and at the exit of a real program.
#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "log.h"
#include "log_lines.h"
#include "process.h"

namespace {

struct Printed {
  timeval time;
  int level;
  int thread_id;
  std::string message;
};

class PrintedSink : public LogSink {
public:
  void write(const LogRecord& record) override {
    std::lock_guard<std::mutex> hold(mutex_);
    printed_.push_back({*record.time(), record.level(), record.thread_id(), record.message()});
  }
  std::vector<Printed> printed() {
    std::lock_guard<std::mutex> hold(mutex_);
    return printed_;
  }
  bool wait_for(size_t count, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (printed().size() < count) {
      if (std::chrono::steady_clock::now() >= deadline) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return true;
  }

private:
  std::mutex mutex_;
  std::vector<Printed> printed_;
};

std::vector<std::string> messages_of(const std::vector<Printed>& printed) {
  std::vector<std::string> messages;
  for (const Printed& p : printed) messages.push_back(p.message);
  return messages;
}

// The bootstrapped loggers of this process, with main_logger writing to a recording sink.
class Printer : public ::testing::Test {
protected:
  static void SetUpTestSuite() { log_bootstrap(); }
  void SetUp() override {
    stop_log_queue_printer();
    log_queue.init(1024);
    set_log_levels(4);
    main_logger->sinks = {&sink};
  }
  void TearDown() override {
    stop_log_queue_printer();
    main_logger->sinks = {&color_console_sink()};
  }
  PrintedSink sink;
};

void enqueue_at(time_t seconds, int level, int thread_id, const std::string& message) {
  timeval time{};
  time.tv_sec = seconds;
  time.tv_usec = 250000;
  log_queue.enqueue(time, level, thread_id, 10, "", "", message);
}

TEST_F(Printer, prints_queued_records_in_order_with_their_own_time_level_and_thread) {
  start_log_queue_printer();
  enqueue_at(1000000000, 2, 11, "first");
  enqueue_at(1000000001, 5, 12, "second");
  enqueue_at(1000000002, 3, 13, "third");
  ASSERT_TRUE(sink.wait_for(3, std::chrono::seconds(5)));
  const std::vector<Printed> printed = sink.printed();
  ASSERT_EQ(messages_of(printed), (std::vector<std::string>{"first", "second", "third"}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(printed[i].time.tv_sec, 1000000000 + i);
    EXPECT_EQ(printed[i].time.tv_usec, 250000);
    EXPECT_EQ(printed[i].thread_id, 11 + i);
  }
  EXPECT_EQ(printed[0].level, 2);
  EXPECT_EQ(printed[1].level, 5);
  EXPECT_EQ(printed[2].level, 3);
}

TEST_F(Printer, prints_what_the_real_time_logger_queued) {
  start_log_queue_printer();
  timeval before{};
  gettimeofday(&before, nullptr);
  std::thread audio(
      [] { PALVEX_LOG(rt_logger, 2, "JACK bad number of frames " << 100 << " " << 64); });
  audio.join();
  ASSERT_TRUE(sink.wait_for(1, std::chrono::seconds(5)));
  const Printed printed = sink.printed().at(0);
  EXPECT_EQ(printed.message, "JACK bad number of frames 100 64");
  EXPECT_EQ(printed.level, 2);
  EXPECT_NE(printed.thread_id, static_cast<int>(gettid()));  // the writer's, not the printer's
  EXPECT_GE(printed.time.tv_sec, before.tv_sec);
}

TEST_F(Printer, stop_prints_everything_queued_before_it) {
  start_log_queue_printer();
  for (int i = 0; i < 1000; ++i) PALVEX_LOG(rt_logger, 2, "r" << i);
  stop_log_queue_printer();
  std::vector<std::string> expected;
  for (int i = 0; i < 1000; ++i) expected.push_back("r" + std::to_string(i));
  EXPECT_EQ(messages_of(sink.printed()), expected);
}

TEST_F(Printer, stop_is_idempotent_and_the_first_start_wins) {
  stop_log_queue_printer();  // never started
  start_log_queue_printer();
  start_log_queue_printer();  // already running: a second consumer would print twice
  for (int i = 0; i < 200; ++i) PALVEX_LOG(rt_logger, 3, "once " << i);
  stop_log_queue_printer();
  stop_log_queue_printer();
  EXPECT_EQ(sink.printed().size(), 200u);
  // And it starts again after a stop.
  start_log_queue_printer();
  PALVEX_LOG(rt_logger, 3, "again");
  stop_log_queue_printer();
  EXPECT_EQ(sink.printed().back().message, "again");
}

TEST_F(Printer, reports_drops_once_with_their_number) {
  log_queue.init(4);
  for (int i = 0; i < 10; ++i) PALVEX_LOG(rt_logger, 2, "d" << i);
  ASSERT_EQ(log_queue.dropped, 6);
  start_log_queue_printer();
  stop_log_queue_printer();
  std::vector<Printed> printed = sink.printed();
  ASSERT_EQ(messages_of(printed),
            (std::vector<std::string>{"d0", "d1", "d2", "d3",
                                      "Real-time log queue full: 6 records dropped"}));
  EXPECT_EQ(printed.back().level, 3);
  // No new drops, no new report.
  start_log_queue_printer();
  stop_log_queue_printer();
  EXPECT_EQ(sink.printed().size(), 5u);
}

TEST_F(Printer, reports_drops_while_running_every_few_seconds) {
  log_queue.init(2);
  start_log_queue_printer();
  // The printer cannot keep up with a burst: a queue of two cells overflows.
  constexpr int burst = 50;
  for (int i = 0; i < burst; ++i) PALVEX_LOG(rt_logger, 2, "burst " << i);
  const std::string head = "Real-time log queue full: ", tail = " records dropped";
  const auto reported = [&] {
    int64_t records = 0, dropped = 0;
    for (const Printed& p : sink.printed()) {
      const std::string& m = p.message;
      if (m.compare(0, head.size(), head) == 0 && m.size() > head.size() + tail.size() &&
          m.compare(m.size() - tail.size(), tail.size(), tail) == 0)
        dropped += std::stoll(m.substr(head.size()));
      else
        ++records;
    }
    return std::make_pair(records, dropped);
  };
  // Without a stop: the running printer reports on its own.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (reported().second == 0 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_GT(reported().second, 0) << "no report before the stop";
  stop_log_queue_printer();
  const auto [records, dropped] = reported();
  EXPECT_GT(dropped, 0);
  EXPECT_EQ(records + dropped, burst);  // every record printed or counted, none twice
}

// The printer inside the real program: what its standard error shows after it ends.
std::vector<std::string> lines_without_time(const std::string& text) {
  std::vector<std::string> lines;
  for (const std::string& line : split_lines(text))
    lines.push_back(is_log_time(line, 0) && line.size() > 24 ? line.substr(24) : line);
  return lines;
}

std::vector<std::string> rt_lines(int from, int to) {
  std::vector<std::string> lines;
  for (int i = from; i < to; ++i) lines.push_back("ERROR rt " + std::to_string(i));
  return lines;
}

TEST(PrinterAtExit, prints_every_queued_record_when_the_program_ends) {
  for (const char* how : {"return", "exit"}) {
    ProcessResult result =
        run_process({LOG_HELPER, "rt", "1000", how}, {}, std::chrono::seconds(20));
    EXPECT_TRUE(result.exited) << how;
    EXPECT_EQ(result.status, 0) << how;
    EXPECT_EQ(lines_without_time(result.err), rt_lines(0, 1000)) << how;
  }
}

TEST(PrinterAtExit, reports_the_drops_of_a_full_queue) {
  ProcessResult result = run_process({LOG_HELPER, "drops", "1100"}, {}, std::chrono::seconds(20));
  EXPECT_EQ(result.status, 0);
  std::vector<std::string> expected = rt_lines(0, 1024);
  expected.push_back("WARN  Real-time log queue full: 76 records dropped");
  EXPECT_EQ(lines_without_time(result.err), expected);
}

TEST(PrinterAtExit, log_statements_after_the_loggers_are_gone_write_nothing) {
  ProcessResult result = run_process({LOG_HELPER, "after-exit"}, {}, std::chrono::seconds(20));
  EXPECT_TRUE(result.exited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(lines_without_time(result.err), std::vector<std::string>{"INFO  before exit"});
}

}  // namespace
