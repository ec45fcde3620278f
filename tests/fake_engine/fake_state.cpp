// Reads the fake engine's PALVEX_FAKE_* settings once, and writes its trace lines.
#include "fake_state.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fake {
namespace {

const char* env(const char* name) { return std::getenv(name); }

// A whole decimal integer within int; anything else keeps the default.
bool parse_int(const std::string& text, int& out) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long value = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || value < INT_MIN || value > INT_MAX) return false;
  out = static_cast<int>(value);
  return true;
}

void read_int(const char* name, int& out) {
  if (const char* value = env(name)) parse_int(value, out);
}

// A number that strtof reads in full (hexadecimal gives an exact binary fraction); anything
// else keeps the default.
void read_float(const char* name, float& out) {
  const char* value = env(name);
  if (value == nullptr) return;
  char* end = nullptr;
  const float number = std::strtof(value, &end);
  if (end != value && *end == '\0') out = number;
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::string::size_type start = 0;
  for (;;) {
    std::string::size_type end = text.find(separator, start);
    parts.push_back(text.substr(start, end - start));
    if (end == std::string::npos) return parts;
    start = end + 1;
  }
}

std::vector<int> read_chunk_list() {
  std::vector<int> list;
  const char* value = env("PALVEX_FAKE_CHUNK_LIST");
  if (value == nullptr) {
    list = {32, 64, 128, 256, 512, 1024};
  } else {
    for (const std::string& part : split(value, ',')) {
      int entry = 0;
      if (parse_int(part, entry)) list.push_back(entry);
    }
  }
  list.push_back(0);
  return list;
}

void read_failures(Settings& s) {
  const char* value = env("PALVEX_FAKE_FAIL");
  if (value == nullptr) return;
  for (const std::string& name : split(value, ',')) {
    if (name == "NewParameters") s.fail_new_parameters = true;
    if (name == "InitProcess3") s.fail_init_process = true;
    if (name == "Webserver") s.fail_webserver = true;
    if (name == "Webserver_tcp2") s.fail_webserver_tcp2 = true;
  }
}

// "SEV:TEXT|SEV:TEXT...": an entry without a severity goes out at 4 (INFO).
std::vector<LogLine> read_log_lines() {
  std::vector<LogLine> lines;
  const char* value = env("PALVEX_FAKE_LOG");
  if (value == nullptr || *value == '\0') return lines;
  for (const std::string& entry : split(value, '|')) {
    if (entry.empty()) continue;
    LogLine line;
    line.severity = 4;
    std::string::size_type colon = entry.find(':');
    if (colon != std::string::npos && parse_int(entry.substr(0, colon), line.severity))
      line.text = entry.substr(colon + 1);
    else
      line.text = entry;
    line.null_text = line.text == "NULL";
    lines.push_back(line);
  }
  return lines;
}

Settings* read_settings() {
  auto* s = new Settings;
  if (const char* value = env("PALVEX_FAKE_VERSION")) s->version = value;
  s->null_version = s->version == "NULL";
  read_int("PALVEX_FAKE_SAMPLE_RATE", s->sample_rate);
  read_int("PALVEX_FAKE_CHUNK", s->chunk);
  read_int("PALVEX_FAKE_CHANNELS", s->channels);
  read_int("PALVEX_FAKE_INPUTS", s->inputs);
  read_int("PALVEX_FAKE_OUTPUTS", s->outputs);
  s->chunk_list = read_chunk_list();
  if (const char* value = env("PALVEX_FAKE_CHUNK_LIST"))
    s->null_chunk_list = std::strcmp(value, "NULL") == 0;
  if (const char* value = env("PALVEX_FAKE_PROCESS_CHUNK"))
    s->has_process_chunk = parse_int(value, s->process_chunk);
  read_int("PALVEX_FAKE_ZERO_CHUNK_READS", s->zero_chunk_reads);
  read_int("PALVEX_FAKE_READY", s->ready);
  if (const char* value = env("PALVEX_FAKE_WEB_STATUS"))
    s->has_web_status = parse_int(value, s->web_status);
  read_int("PALVEX_FAKE_STOP_RESULT", s->stop_result);
  read_float("PALVEX_FAKE_GAIN", s->gain);
  read_float("PALVEX_FAKE_BIAS", s->bias);
  read_failures(*s);
  s->log_lines = read_log_lines();
  read_int("PALVEX_FAKE_LOG_THREADS", s->log_threads);
  read_int("PALVEX_FAKE_LOG_REPEAT", s->log_repeat);
  if (const char* path = env("PALVEX_FAKE_TRACE")) {
    s->trace_fd = ::open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (s->trace_fd < 0)
      std::fprintf(stderr, "fake engine: cannot open trace file %s: %s\n", path,
                   std::strerror(errno));
  }
  return s;
}

}  // namespace

// Both are leaked on purpose: the hosts call the engine from static destructors at exit.
const Settings& settings() {
  static const Settings* const s = read_settings();
  return *s;
}

Registry& registry() {
  static Registry* const r = new Registry;
  return *r;
}

Trace::Trace(const char* function) : on_(settings().trace_fd >= 0) {
  if (on_) line_ = function;
}

Trace& Trace::word(const std::string& value) {
  if (on_) {
    line_ += ' ';
    line_ += value;
  }
  return *this;
}

Trace& Trace::text(const char* value) {
  if (!on_) return *this;
  return word(value == nullptr ? std::string("null") : '"' + std::string(value) + '"');
}

Trace& Trace::number(long long value) { return on_ ? word(std::to_string(value)) : *this; }

Trace& Trace::set(palvex_Parameters value) {
  if (!on_) return *this;
  return word(value == nullptr ? "null" : "set" + std::to_string(value->id));
}

Trace& Trace::process(palvex_Process value) {
  if (!on_) return *this;
  return word(value == nullptr ? "null" : "proc" + std::to_string(value->id));
}

Trace& Trace::web(palvex_WebserverHandle value) {
  if (!on_) return *this;
  return word(value == PALVEX_NO_WEBSERVER ? "none" : "web" + std::to_string(value));
}

Trace& Trace::callback(palvex_LoggerCallback value) {
  return word(value == nullptr ? "null" : "cb");
}

void Trace::write() {
  if (!on_) return;
  line_ += '\n';
  const char* data = line_.data();
  std::size_t left = line_.size();
  while (left > 0) {
    ssize_t written = ::write(settings().trace_fd, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

}  // namespace fake
