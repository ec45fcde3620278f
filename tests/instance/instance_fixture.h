// What the instance tests share: the trace of this process and a main_logger that records.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "child_rerun.h"
#include "engine_trace.h"
#include "log_capture.h"
#include "processing_instance.h"

extern TraceFile engine_trace;

// The fake numbers its handles per process (set1, proc1, web1), and most cases script it
// through its environment: each case runs in a fresh child process of the test binary.
class InstanceTest : public testing::Test {
protected:
  void SetUp() override { engine_trace.mark(); }

  // The trace without the update thread's own line, whose place against the ready wait
  // depends on the scheduler.
  static std::vector<std::string> main_thread_calls(const std::vector<std::string>& trace) {
    std::vector<std::string> kept;
    for (const std::string& line : trace)
      if (line.rfind("palvex_StartUpdateThread ", 0) != 0) kept.push_back(line);
    return kept;
  }

  std::vector<LoggedLine> lines_at(int level) {
    std::vector<LoggedLine> picked;
    for (const LoggedLine& line : sink.lines())
      if (line.level == level) picked.push_back(line);
    return picked;
  }

  RecordingSink sink;
  ScopedMainLogger logger{10, sink};
};
