// What the bootstrapped main logger puts on standard error: on a terminal, and on a file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include "log.h"
#include "log_lines.h"
#include "process.h"

namespace {

std::string padded_name(int level) {
  std::string name = log_level_name(level);
  return name + std::string(5 - name.size(), ' ');
}

const char* color_of(int level) {
  static const char* const colors[] = {"\x1b[97m\x1b[41m", "\x1b[91m", "\x1b[93m", "\x1b[97m",
                                       "\x1b[96m",         "\x1b[95m", "\x1b[36m", "\x1b[35m",
                                       "\x1b[94m",         "\x1b[90m"};
  return level >= 1 && level <= 10 ? colors[level - 1] : "";
}

std::string expected_lines(const std::vector<int>& levels, bool colour) {
  std::string text;
  for (int level : levels) {
    if (colour) text += color_of(level);
    text += "T " + padded_name(level) + " level " + std::to_string(level) + "\n";
    if (colour) text += "\x1b[0m\x1b[0K";
  }
  return text;
}

std::vector<int> all_levels() {
  std::vector<int> levels;
  for (int level = -1; level <= 11; ++level) levels.push_back(level);
  return levels;
}

// Reads the terminal's master side until the other side is closed or the time is up.
std::string read_terminal(int master, std::chrono::milliseconds timeout) {
  std::string text;
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) break;
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, static_cast<int>(left.count())) <= 0) break;
    char buffer[4096];
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got <= 0) break;  // EIO once the child has closed its side
    text.append(buffer, static_cast<size_t>(got));
  }
  return text;
}

termios raw_terminal() {
  termios settings{};
  cfmakeraw(&settings);  // no "\r" added before each newline: the bytes arrive as written
  return settings;
}

TEST(ConsoleOutput, colours_every_level_on_a_terminal) {
  // Built before the fork: under a cross build the helper runs through the emulator.
  const std::vector<std::string> argv = with_emulator({LOG_HELPER, "levels"});
  std::vector<char*> c_argv;
  for (const std::string& arg : argv) c_argv.push_back(const_cast<char*>(arg.c_str()));
  c_argv.push_back(nullptr);
  int master = -1;
  termios settings = raw_terminal();
  const pid_t child = forkpty(&master, nullptr, &settings, nullptr);
  ASSERT_GE(child, 0);
  if (child == 0) {
    execvp(c_argv[0], c_argv.data());
    _exit(127);
  }
  const std::string text = read_terminal(master, std::chrono::seconds(10));
  close(master);
  int status = 0;
  if (waitpid(child, &status, WNOHANG) == 0) kill(child, SIGKILL);
  waitpid(child, &status, 0);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(without_times(text), expected_lines(all_levels(), true));
}

TEST(ConsoleOutput, stays_plain_on_a_file) {
  ProcessResult result = run_process({LOG_HELPER, "levels"});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(without_times(result.err), expected_lines(all_levels(), false));
}

TEST(ConsoleOutput, stays_plain_when_a_terminal_comes_later) {
  int master = -1, slave = -1;
  termios settings = raw_terminal();
  ASSERT_EQ(openpty(&master, &slave, nullptr, &settings, nullptr), 0);
  char name[256] = {};
  ASSERT_EQ(ttyname_r(slave, name, sizeof name), 0);
  // Standard error is a file when the logger is built; the helper then moves it to the terminal.
  ProcessResult result = run_process({LOG_HELPER, "late-tty", name});
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(result.err, "");
  const std::string text = read_terminal(master, std::chrono::milliseconds(500));
  close(slave);
  close(master);
  EXPECT_EQ(without_times(text), expected_lines({2, 4}, false));
}

}  // namespace
