// The 24 engine functions of the scriptable fake: results from PALVEX_FAKE_*, every call traced.
#include <algorithm>
#include <chrono>

#include "fake_state.h"

using fake::registry;
using fake::settings;
using fake::Trace;

extern "C" {

const char* palvex_GetVersion(void) {
  Trace("palvex_GetVersion").write();
  return settings().null_version ? nullptr : settings().version.c_str();
}

int palvex_SetLogSeverity(int level) {
  Trace("palvex_SetLogSeverity").number(level).write();
  return 0;
}

int palvex_SetLoggerCallback(palvex_LoggerCallback callback) {
  Trace("palvex_SetLoggerCallback").callback(callback).write();
  registry().logger.store(callback);
  if (callback != nullptr) fake::start_log_threads();
  return 0;
}

int palvex_GetSampleRate(void) {
  Trace("palvex_GetSampleRate").write();
  return settings().sample_rate;
}

int palvex_GetChunkSizeInFrames(void) {
  Trace("palvex_GetChunkSizeInFrames").write();
  return settings().chunk;
}

int palvex_GetChannelCount(void) {
  Trace("palvex_GetChannelCount").write();
  return settings().channels;
}

int palvex_GetAudioInputCount(void) {
  Trace("palvex_GetAudioInputCount").write();
  return settings().inputs;
}

int palvex_GetAudioOutputCount(void) {
  Trace("palvex_GetAudioOutputCount").write();
  return settings().outputs;
}

palvex_Parameters palvex_NewParameters(void) {
  Trace("palvex_NewParameters").write();
  if (settings().fail_new_parameters) return nullptr;
  fake::Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.sets.push_back(std::make_unique<palvex_ParametersData>());
  r.sets.back()->id = static_cast<int>(r.sets.size());
  return r.sets.back().get();
}

int palvex_SetParameter(palvex_Parameters set, const char* key, const char* value) {
  Trace("palvex_SetParameter").set(set).text(key).text(value).write();
  return set == nullptr ? -1 : 0;
}

// The record stays allocated: the fake never reuses or frees what it handed out.
int palvex_FreeParameters(palvex_Parameters set) {
  Trace("palvex_FreeParameters").set(set).write();
  return set == nullptr ? -1 : 0;
}

const int* palvex_GetPossibleChunkSizeInFrames(void) {
  Trace("palvex_GetPossibleChunkSizeInFrames").write();
  return settings().null_chunk_list ? nullptr : settings().chunk_list.data();
}

palvex_Process palvex_InitProcess3(const char* storage_dir, palvex_Parameters set,
                                   int frames_per_chunk) {
  Trace("palvex_InitProcess3").text(storage_dir).set(set).number(frames_per_chunk).write();
  const fake::Settings& s = settings();
  if (s.fail_init_process) return nullptr;
  fake::Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.processes.push_back(std::make_unique<palvex_ProcessData>());
  palvex_ProcessData* process = r.processes.back().get();
  process->id = static_cast<int>(r.processes.size());
  process->process_chunk = s.has_process_chunk ? s.process_chunk : frames_per_chunk;
  process->gain = s.gain;
  process->zero_chunk_reads.store(s.zero_chunk_reads, std::memory_order_relaxed);
  process->bias = s.bias;
  return process;
}

int palvex_SetMetadata(palvex_Process process, const char* key, const char* value) {
  Trace("palvex_SetMetadata").process(process).text(key).text(value).write();
  return process == nullptr ? -1 : 0;
}

int palvex_StartUpdateThread(palvex_Process process, int json_port) {
  Trace("palvex_StartUpdateThread").process(process).number(json_port).write();
  if (process == nullptr) return -1;
  std::unique_lock<std::mutex> lock(process->mutex);
  process->update_entered = true;
  process->changed.notify_all();
  process->changed.wait(lock, [process] { return process->stop_requested; });
  return 0;
}

int palvex_WaitUpdateThreadReady(palvex_Process process, int timeout) {
  Trace("palvex_WaitUpdateThreadReady").process(process).number(timeout).write();
  if (process == nullptr) return -1;
  std::unique_lock<std::mutex> lock(process->mutex);
  bool entered = process->changed.wait_for(lock, std::chrono::milliseconds(std::max(timeout, 0)),
                                           [process] { return process->update_entered; });
  return entered ? settings().ready : -1;
}

// The flag stays set, so a StartUpdateThread that comes later returns at once.
int palvex_StopUpdateThread(palvex_Process process) {
  Trace("palvex_StopUpdateThread").process(process).write();
  if (process == nullptr) return -1;
  std::lock_guard<std::mutex> lock(process->mutex);
  process->stop_requested = true;
  process->changed.notify_all();
  return 0;
}

int palvex_ExitProcess(palvex_Process process) {
  Trace("palvex_ExitProcess").process(process).write();
  return process == nullptr ? -1 : 0;
}

// Real-time path: no trace, no lock, no allocation; only fields set at palvex_InitProcess3.
int palvex_GetProcessChunkFrames(palvex_Process process) {
  if (process == nullptr) return 0;
  if (process->zero_chunk_reads.load(std::memory_order_relaxed) > 0 &&
      process->zero_chunk_reads.fetch_sub(1, std::memory_order_relaxed) > 0)
    return 0;
  return process->process_chunk;
}

int palvex_ProcessAudio_Planar(palvex_Process process, float* in[2], float* out[2]) {
  if (process == nullptr || in == nullptr || out == nullptr) return -1;
  const int frames = process->process_chunk;
  const float gain = process->gain;
  const float bias = process->bias;
  for (int channel = 0; channel < 2; ++channel) {
    if (in[channel] == nullptr || out[channel] == nullptr) return -1;
    for (int i = 0; i < frames; ++i) out[channel][i] = in[channel][i] * gain + bias;
  }
  return 0;
}

static palvex_WebserverHandle new_webserver(int http_port, int https_port) {
  fake::Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.web_ports.emplace_back(http_port, https_port);
  return r.web_ports.size();
}

palvex_WebserverHandle palvex_Webserver(int http_port, int https_port, palvex_Process process) {
  Trace("palvex_Webserver").number(http_port).number(https_port).process(process).write();
  if (settings().fail_webserver) return PALVEX_NO_WEBSERVER;
  return new_webserver(http_port, https_port);
}

palvex_WebserverHandle palvex_Webserver_tcp2(int http_port, int https_port, const char* address,
                                             int json_port, palvex_Parameters set) {
  Trace("palvex_Webserver_tcp2")
      .number(http_port)
      .number(https_port)
      .text(address)
      .number(json_port)
      .set(set)
      .write();
  if (settings().fail_webserver_tcp2) return PALVEX_NO_WEBSERVER;
  return new_webserver(http_port, https_port);
}

int palvex_Webserver_Status(palvex_WebserverHandle handle) {
  Trace("palvex_Webserver_Status").web(handle).write();
  if (settings().has_web_status) return settings().web_status;
  fake::Registry& r = registry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (handle == 0 || handle > r.web_ports.size()) return 0;  // none, or never handed out
  const auto& [http_port, https_port] = r.web_ports[handle - 1];
  return (http_port != 0 ? 1 : 0) | (https_port != 0 ? 2 : 0);
}

int palvex_Webserver_Stop(palvex_WebserverHandle handle, int timeout) {
  Trace("palvex_Webserver_Stop").web(handle).number(timeout).write();
  return settings().stop_result;
}

}  // extern "C"
