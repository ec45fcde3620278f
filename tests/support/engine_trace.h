// The fake engine's trace as tests read it: one line per engine call, in call order.
#pragma once

#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "process.h"
#include "temp_dir.h"

// Points PALVEX_FAKE_TRACE of this process at a private file. Construct it before the first
// engine call (a global of the test binary will do): the fake reads its settings only once.
// The folder goes with the process that made it, not with a forked child that exits.
class TraceFile {
public:
  TraceFile() : owner_(::getpid()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "palvex-trace-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) dir_ = pattern;
    path_ = (dir_ / "trace").string();
    ::setenv("PALVEX_FAKE_TRACE", path_.c_str(), 1);
  }
  ~TraceFile() {
    std::error_code ignored;
    if (::getpid() == owner_ && !dir_.empty()) std::filesystem::remove_all(dir_, ignored);
  }
  TraceFile(const TraceFile&) = delete;
  TraceFile& operator=(const TraceFile&) = delete;
  const std::string& path() const { return path_; }
  std::vector<std::string> lines() const { return split_lines(read_file(path_)); }
  // Forgets what is there now: the next take() returns only later lines.
  void mark() { seen_ = lines().size(); }
  std::vector<std::string> take() {
    std::vector<std::string> all = lines();
    std::vector<std::string> fresh(all.begin() + static_cast<long>(std::min(seen_, all.size())),
                                   all.end());
    seen_ = all.size();
    return fresh;
  }

private:
  pid_t owner_;
  std::filesystem::path dir_;
  std::string path_;
  size_t seen_ = 0;
};

// The lines whose function name (the first word) is one of names, in their order.
inline std::vector<std::string> calls_of(const std::vector<std::string>& trace,
                                         const std::vector<std::string>& names) {
  std::vector<std::string> picked;
  for (const std::string& line : trace) {
    std::string function = line.substr(0, line.find(' '));
    if (std::find(names.begin(), names.end(), function) != names.end()) picked.push_back(line);
  }
  return picked;
}

// Position of the first line equal to text, or -1.
inline long index_of(const std::vector<std::string>& trace, const std::string& text) {
  auto found = std::find(trace.begin(), trace.end(), text);
  return found == trace.end() ? -1 : static_cast<long>(found - trace.begin());
}
