// Log records, level names, the function-name cut and the line format.
#include <gtest/gtest.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "log.h"

namespace {

// Local time two hours ahead of UTC, without any time-zone files: proves the line is local.
class LocalZone : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    setenv("TZ", "PVX-2", 1);
    tzset();
  }
};

// Seconds since the epoch of a UTC calendar time (year as written, month 1 to 12).
time_t utc(int year, int month, int day, int hour, int minute, int second) {
  tm when{};
  when.tm_year = year - 1900;
  when.tm_mon = month - 1;
  when.tm_mday = day;
  when.tm_hour = hour;
  when.tm_min = minute;
  when.tm_sec = second;
  return timegm(&when);
}

std::string line_of(time_t seconds, long micros, int level, const std::string& message) {
  timeval time{};
  time.tv_sec = seconds;
  time.tv_usec = micros;
  LogRecord record(time, level, 1, 1, "", message);
  return format_log_line(record);
}

struct LineCase {
  const char* what;
  time_t seconds;
  long micros;
  int level;
  const char* message;
  const char* expected;
};

TEST_F(LocalZone, formats_the_line_in_local_time) {
  const LineCase cases[] = {
      {"example", utc(2026, 3, 7, 6, 5, 9), 42517, 4, "abc", "2026-03-07 08:05:09.042 INFO  abc\n"},
      {"new year, 999 us", utc(2025, 12, 31, 22, 0, 0), 999, 2, "x",
       "2026-01-01 00:00:00.000 ERROR x\n"},
      {"999999 us", utc(2025, 12, 31, 22, 0, 0), 999999, 2, "x",
       "2026-01-01 00:00:00.999 ERROR x\n"},
      {"level 0", utc(2026, 3, 7, 6, 5, 9), 0, 0, "m", "2026-03-07 08:05:09.000 NONE  m\n"},
      {"level -1", utc(2026, 3, 7, 6, 5, 9), 0, -1, "m", "2026-03-07 08:05:09.000 NONE  m\n"},
      {"level 11", utc(2026, 3, 7, 6, 5, 9), 0, 11, "m", "2026-03-07 08:05:09.000 NONE  m\n"},
      {"year below 1000", utc(999, 6, 15, 12, 0, 0), 5000, 3, "old",
       "999-06-15 14:00:00.005 WARN  old\n"},
      {"year 5", utc(5, 1, 2, 3, 4, 5), 0, 4, "older", "5-01-02 05:04:05.000 INFO  older\n"},
      {"empty message", utc(2026, 3, 7, 6, 5, 9), 0, 4, "", "2026-03-07 08:05:09.000 INFO  \n"},
      {"newlines kept", utc(2026, 3, 7, 6, 5, 9), 0, 10, "a\nb\n",
       "2026-03-07 08:05:09.000 DEBUG a\nb\n\n"},
      {"day and month boundary", utc(2026, 2, 28, 23, 59, 59), 123456, 5, "v",
       "2026-03-01 01:59:59.123 VERB  v\n"},
  };
  for (const LineCase& c : cases) {
    if (c.seconds == -1 && sizeof(time_t) < 8) continue;  // before 1901: no 32-bit time_t
    EXPECT_EQ(line_of(c.seconds, c.micros, c.level, c.message), c.expected) << c.what;
  }
  EXPECT_EQ(line_of(utc(2026, 3, 7, 6, 5, 9), 42517, 4, "abc").size(), 34u);
}

TEST(LogLevelName, names_every_level_and_none_outside) {
  const std::pair<int, const char*> cases[] = {{1, "FATAL"},        {2, "ERROR"},
                                               {3, "WARN"},         {4, "INFO"},
                                               {5, "VERB"},         {6, "VERB2"},
                                               {7, "VERB3"},        {8, "VERB4"},
                                               {9, "VERB5"},        {10, "DEBUG"},
                                               {0, "NONE"},         {-1, "NONE"},
                                               {11, "NONE"},        {-2147483647 - 1, "NONE"},
                                               {2147483647, "NONE"}};
  for (const auto& [level, name] : cases) EXPECT_STREQ(log_level_name(level), name) << level;
}

TEST_F(LocalZone, level_names_are_padded_to_five_columns) {
  const time_t seconds = utc(2026, 3, 7, 6, 5, 9);
  for (int level = -1; level <= 11; ++level) {
    const std::string line = line_of(seconds, 0, level, "m");
    const std::string name = log_level_name(level);
    EXPECT_EQ(line.substr(24), name + std::string(5 - name.size(), ' ') + " m\n") << level;
  }
}

TEST(LogRecord, keeps_what_the_statement_gave_and_takes_the_time_at_construction) {
  static const char file[] = "some_file.cpp";
  timeval before{}, after{};
  gettimeofday(&before, nullptr);
  LogRecord record(7, "", 123, file, 42);
  gettimeofday(&after, nullptr);

  EXPECT_EQ(record.level(), 7);
  EXPECT_EQ(record.line(), 123);
  EXPECT_EQ(record.code(), 42);
  EXPECT_EQ(record.file(), file);  // the pointer itself
  EXPECT_EQ(record.thread_id(), static_cast<int>(gettid()));
  const auto micros = [](const timeval& t) { return t.tv_sec * 1000000LL + t.tv_usec; };
  EXPECT_LE(micros(before), micros(*record.time()));
  EXPECT_GE(micros(after), micros(*record.time()));
  EXPECT_STREQ(record.message(), "");
}

TEST(LogRecord, replay_keeps_its_own_time_thread_and_text) {
  timeval time{};
  time.tv_sec = 1000;
  time.tv_usec = 7;
  LogRecord record(time, 2, 4321, 55, "f.cpp", "queued text");
  EXPECT_EQ(record.time()->tv_sec, 1000);
  EXPECT_EQ(record.time()->tv_usec, 7);
  EXPECT_EQ(record.level(), 2);
  EXPECT_EQ(record.thread_id(), 4321);
  EXPECT_EQ(record.line(), 55);
  EXPECT_STREQ(record.file(), "f.cpp");
  EXPECT_STREQ(record.message(), "queued text");
  EXPECT_EQ(record.stream.str(), "queued text");
}

TEST(LogRecord, cuts_the_function_name_before_the_first_parenthesis) {
  const std::pair<const char*, const char*> cases[] = {
      {"main", "main"},  // no "(": the whole text
      {"", ""},
      {"(int)", ""},                                     // "(" first
      {"void f (int)", ""},                              // a blank just before "("
      {"int f(int (*)(int))", "f"},                      // only the first "(" counts
      {"void ns::Cls::run(int) const", "ns::Cls::run"},  // qualifiers kept
      {"void\tf(int)", "void\tf"},                       // a tab is no blank
      {"static unsigned long long g(void)", "g"},        // the last blank before "("
      {"int  h()", "h"},
      {"void ns::f<int, char>(int)", "char>"},
      {"noparen with blanks", "noparen with blanks"},
  };
  for (const auto& [text, name] : cases) {
    LogRecord record(4, text, 1, "", 0);
    EXPECT_STREQ(record.function_name(), name) << '"' << text << '"';
    EXPECT_STREQ(record.function_name(), name) << "second call, \"" << text << '"';
  }
}

TEST(LogRecord, message_follows_the_stream) {
  LogRecord record(4, "", 1, "", 0);
  record.stream << "ab" << 12;
  EXPECT_STREQ(record.message(), "ab12");
  EXPECT_STREQ(record.message(), "ab12");
  record.stream << "cd";
  EXPECT_STREQ(record.message(), "ab12cd");
}

}  // namespace
