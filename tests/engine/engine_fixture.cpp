// Helpers for the engine's tests: a running process, a JSON client, captured log lines.
#include "engine_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace {
std::mutex log_mutex;
std::vector<std::pair<int, std::string>> log_lines;

void on_engine_log(int severity, const char* text) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.emplace_back(severity, text);
}
}  // namespace

EngineLogCapture::EngineLogCapture(int severity) {
  std::lock_guard<std::mutex> lock(log_mutex);
  log_lines.clear();
  palvex_SetLogSeverity(severity);
  palvex_SetLoggerCallback(on_engine_log);
}

EngineLogCapture::~EngineLogCapture() {
  palvex_SetLoggerCallback(nullptr);
  palvex_SetLogSeverity(4);
}

std::vector<std::pair<int, std::string>> EngineLogCapture::lines() const {
  std::lock_guard<std::mutex> lock(log_mutex);
  return log_lines;
}

int EngineLogCapture::count(const std::string& text) const {
  int found = 0;
  for (const auto& line : lines())
    if (line.second.find(text) != std::string::npos) ++found;
  return found;
}

bool EngineLogCapture::contains(const std::string& text) const { return count(text) > 0; }

RunningProcess::RunningProcess(const ProcessOptions& options) {
  set_ = palvex_NewParameters();
  for (const auto& [key, value] : options.parameters)
    palvex_SetParameter(set_, key.c_str(), value.c_str());
  process_ = palvex_InitProcess3(options.storage_dir.c_str(), set_, options.chunk);
  if (process_ == nullptr) return;
  for (const auto& [key, value] : options.metadata)
    palvex_SetMetadata(process_, key.c_str(), value.c_str());
  palvex_Process process = process_;
  const int port = options.json_port;
  thread_ = std::thread([process, port] { palvex_StartUpdateThread(process, port); });
  ready_ = palvex_WaitUpdateThreadReady(process_, 5000);
}

void RunningProcess::stop() {
  if (process_ == nullptr) return;
  palvex_StopUpdateThread(process_);
  if (thread_.joinable()) thread_.join();
  palvex_ExitProcess(process_);
  process_ = nullptr;
}

RunningProcess::~RunningProcess() {
  stop();
  palvex_FreeParameters(set_);
}

PortHolder::PortHolder() {
  fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = 0;
  socklen_t length = sizeof address;
  if (bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
      listen(fd_, 4) != 0 || getsockname(fd_, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    throw std::runtime_error("cannot hold a port");
  port_ = ntohs(address.sin_port);
}

PortHolder::~PortHolder() { close(fd_); }

Chunk::Chunk(int frames, float scale)
    : left(frames), right(frames), out_left(frames), out_right(frames) {
  for (int i = 0; i < frames; ++i) {
    left[i] = scale * static_cast<float>(i + 1) / static_cast<float>(frames);
    right[i] = -0.5f * left[i];
  }
  in[0] = left.data();
  in[1] = right.data();
  out[0] = out_left.data();
  out[1] = out_right.data();
}
