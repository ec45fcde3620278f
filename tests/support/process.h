// Runs the real programs as child processes: chosen environment, output captured in files.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "free_port.h"
#include "temp_dir.h"

// Variables to set (a value) or to remove (std::nullopt) on top of the inherited environment.
using EnvChanges = std::map<std::string, std::optional<std::string>>;

// The variables the programs read; tests start from an environment without them.
EnvChanges clean_palvex_env();

struct ProcessResult {
  bool exited = false;  // ended by exit(); otherwise by a signal (or still running)
  int status = -1;      // exit status when exited
  int signal = 0;       // the signal that ended it otherwise
  std::string out;      // standard output
  std::string err;      // standard error
};

class ChildProcess {
public:
  // argv[0] is the program's path. Standard input is /dev/null.
  ChildProcess(const std::vector<std::string>& argv, const EnvChanges& env = {});
  ~ChildProcess();  // kills the child if it still runs
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  pid_t pid() const { return pid_; }
  void send_signal(int signal_number);
  // True when the child ended within the time-out; its result is then in result().
  bool wait_for_exit(std::chrono::milliseconds timeout);
  bool running();
  // Waits until standard error (or output) holds the text; false on time-out or exit.
  bool wait_for_stderr(const std::string& text, std::chrono::milliseconds timeout);
  bool wait_for_stdout(const std::string& text, std::chrono::milliseconds timeout);
  std::string stdout_text() const;
  std::string stderr_text() const;
  const ProcessResult& result();

private:
  bool wait_for_text(bool on_stderr, const std::string& text, std::chrono::milliseconds timeout);
  TempDir dir_;
  pid_t pid_ = -1;
  bool reaped_ = false;
  ProcessResult result_;
};

// Runs to the end (killed after the time-out) and returns what it printed and how it ended.
ProcessResult run_process(const std::vector<std::string>& argv, const EnvChanges& env = {},
                          std::chrono::milliseconds timeout = std::chrono::seconds(20));

std::string bin_path(const std::string& program);  // build/bin/PROGRAM
// In a cross build, an ARM executable in argv[0] gets the emulator ("qemu-arm -L /") in front,
// for a child started by hand (execvp finds the emulator on PATH); otherwise argv as it is.
std::vector<std::string> with_emulator(const std::vector<std::string>& argv);
std::vector<std::string> split_lines(const std::string& text);
// Whether this process may put a thread at real-time priority by itself (root, or
// RLIMIT_RTPRIO): tried on a thread of its own.
bool realtime_granted();
// Waits until a TCP port on 127.0.0.1 accepts connections.
bool wait_for_tcp_port(int port, std::chrono::milliseconds timeout);
