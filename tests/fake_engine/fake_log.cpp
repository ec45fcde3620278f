// The fake engine's own log threads: they send the PALVEX_FAKE_LOG lines through the callback.
#include <cstdio>
#include <system_error>
#include <thread>

#include "fake_state.h"

namespace fake {
namespace {

// Reads the callback anew for each line, as an engine would; a null callback drops the line.
void send_log_lines(const Settings& s, Registry& r) {
  for (int round = 0; round < s.log_repeat; ++round) {
    for (const LogLine& line : s.log_lines) {
      palvex_LoggerCallback callback = r.logger.load();
      if (callback != nullptr)
        callback(line.severity, line.null_text ? nullptr : line.text.c_str());
    }
  }
}

}  // namespace

void start_log_threads() {
  const Settings& s = settings();
  Registry& r = registry();
  {
    std::lock_guard<std::mutex> lock(r.mutex);
    if (r.log_threads_started) return;
    r.log_threads_started = true;
  }
  if (s.log_lines.empty()) return;
  // Detached: they touch only the leaked settings and registry, and end after their lines.
  for (int i = 0; i < s.log_threads; ++i) {
    try {
      std::thread(send_log_lines, std::cref(s), std::ref(r)).detach();
    } catch (const std::system_error& error) {
      std::fprintf(stderr, "fake engine: cannot start a log thread: %s\n", error.what());
    }
  }
}

}  // namespace fake
