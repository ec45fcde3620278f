// The fake engine's settings (read once from PALVEX_FAKE_* variables), its records and its trace.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "palvex.h"

struct palvex_ParametersData {
  int id = 0;  // traced as set<id>
};

struct palvex_ProcessData {
  int id = 0;                            // traced as proc<id>
  int process_chunk = 0;                 // frames per palvex_ProcessAudio_Planar call
  std::atomic<int> zero_chunk_reads{0};  // chunk queries still to answer with 0
  float gain = 0.5f;                     // output = input * gain + bias
  float bias = 0.0f;
  std::mutex mutex;  // guards the two update-thread flags
  std::condition_variable changed;
  bool update_entered = false;  // palvex_StartUpdateThread has begun
  bool stop_requested = false;  // palvex_StopUpdateThread was called
};

namespace fake {

struct LogLine {
  int severity = 0;
  std::string text;
  bool null_text = false;  // TEXT was NULL: send a null pointer
};

// A text setting of "NULL" makes the engine hand out a null pointer instead.
struct Settings {
  std::string version = "0.0-fake";
  bool null_version = false;
  int sample_rate = 48000;
  int chunk = 64;
  int channels = 2;
  int inputs = 1;
  int outputs = 1;
  std::vector<int> chunk_list;  // always ends with a 0 entry
  bool null_chunk_list = false;
  bool has_process_chunk = false;
  int process_chunk = 0;
  int zero_chunk_reads = 0;  // each process's first chunk queries that give 0
  int ready = 0;
  bool has_web_status = false;
  int web_status = 0;
  int stop_result = 0;
  float gain = 0.5f;
  float bias = 0.0f;  // makes the output of silence tell from silence nobody processed
  bool fail_new_parameters = false;
  bool fail_init_process = false;
  bool fail_webserver = false;
  bool fail_webserver_tcp2 = false;
  std::vector<LogLine> log_lines;
  int log_threads = 1;
  int log_repeat = 1;
  int trace_fd = -1;  // -1: no trace
};

// What the fake hands out. Records are never freed, so late calls (from static destructors or
// the fake's own log threads at exit) never meet freed memory.
struct Registry {
  std::mutex mutex;
  std::vector<std::unique_ptr<palvex_ParametersData>> sets;
  std::vector<std::unique_ptr<palvex_ProcessData>> processes;
  std::vector<std::pair<int, int>> web_ports;  // HTTP and HTTPS port of web<index + 1>
  std::atomic<palvex_LoggerCallback> logger{nullptr};
  bool log_threads_started = false;
};

const Settings& settings();  // the environment, read on the first call
Registry& registry();

// Starts the PALVEX_FAKE_LOG threads, the first time a callback is registered.
void start_log_threads();

// One trace line: the function's name, then one argument after each space.
class Trace {
public:
  explicit Trace(const char* function);
  Trace& text(const char* value);
  Trace& number(long long value);
  Trace& set(palvex_Parameters value);
  Trace& process(palvex_Process value);
  Trace& web(palvex_WebserverHandle value);
  Trace& callback(palvex_LoggerCallback value);
  void write();  // one write() of the whole line

private:
  Trace& word(const std::string& value);
  bool on_;
  std::string line_;
};

}  // namespace fake
