// The engine instance of one audio host: chunk-size choice, creation in order, ordered teardown.
#include "processing_instance.h"

#include <new>
#include <sstream>

#include "log.h"

namespace {

constexpr uint32_t default_frames_per_chunk = 64;
constexpr int ready_timeout = 5000;      // the engine's own unit
constexpr int webserver_timeout = 1000;  // the engine's own unit

uint32_t use_default_frames_per_chunk() {
  PALVEX_LOG(main_logger, 4, "Using default frames per chunk=" << default_frames_per_chunk);
  return default_frames_per_chunk;
}

// Failures after construction: one FATAL line, then the only pointer is dropped, which tears
// down whatever was built so far.
std::shared_ptr<ProcessingInstance> abandon(std::shared_ptr<ProcessingInstance>& instance,
                                            const char* text) {
  PALVEX_LOG(main_logger, 1, text);
  instance.reset();
  return nullptr;
}

bool webserver_listening(const HostConfig& config, int status) {
  if (config.http_port != 0 && (status & 1) == 0) return false;
  if (config.https_port != 0 && (status & 2) == 0) return false;
  return true;
}

}  // namespace

InstanceFactory make_instance_factory(const HostConfig& config) {
  return [config](uint32_t frames) { return create_processing_instance(config, frames); };
}

ProcessingInstance::ProcessingInstance() : parameter_set(palvex_NewParameters()) {
  if (parameter_set == nullptr) throw std::bad_alloc();
}

ProcessingInstance::~ProcessingInstance() {
  stop();
  if (parameter_set != nullptr) palvex_FreeParameters(parameter_set);
}

void ProcessingInstance::before_update_loop() {}
void ProcessingInstance::after_update_loop() {}

void ProcessingInstance::add_metadata(const std::string& key, const std::string& value) {
  if (process != nullptr) {
    palvex_SetMetadata(process, key.c_str(), value.c_str());
  } else {
    pending_metadata.emplace_back(key, value);
  }
}

void ProcessingInstance::stop() {
  if (process == nullptr) return;
  if (webserver != PALVEX_NO_WEBSERVER) {
    palvex_Webserver_Stop(webserver, webserver_timeout);
    webserver = PALVEX_NO_WEBSERVER;
  }
  // The update loop holds the process until it returns, so the thread goes before the exit.
  if (update_thread.joinable()) {
    palvex_StopUpdateThread(process);
    update_thread.join();
  }
  palvex_ExitProcess(process);
  process = nullptr;
}

uint32_t select_frames_per_chunk(uint32_t frames) {
  if (frames == 0) return use_default_frames_per_chunk();

  const int* list = palvex_GetPossibleChunkSizeInFrames();
  if (list == nullptr || list[0] == 0) {
    PALVEX_LOG(main_logger, 4, "Did not find a good frames per chunk ratio");
    return use_default_frames_per_chunk();
  }

  // The scan stops at the first greater entry, so an unsorted list can hide an equal one.
  size_t scan_end = 0;
  for (; list[scan_end] != 0; ++scan_end) {
    const uint32_t entry = static_cast<uint32_t>(list[scan_end]);
    if (entry == frames) {
      PALVEX_LOG(main_logger, 4, "Selecting processing frames per chunk=" << entry);
      return entry;
    }
    if (entry > frames) break;
  }

  // The last smaller entry that divides the period: the fewest engine calls per period.
  for (size_t i = scan_end; i-- > 0;) {
    const uint32_t entry = static_cast<uint32_t>(list[i]);
    if (frames % entry == 0) {
      PALVEX_LOG(main_logger, 4,
                 "Selecting processing frames per chunk=" << entry << " (direct multiple)");
      return entry;
    }
  }

  for (size_t i = 0; list[i] != 0; ++i) {
    const uint32_t entry = static_cast<uint32_t>(list[i]);
    if (entry > frames && entry % frames == 0) {
      PALVEX_LOG(main_logger, 4,
                 "Selecting processing frames per chunk=" << entry << " (direct multiple)");
      return entry;
    }
  }

  PALVEX_LOG(main_logger, 4, "Did not find a good frames per chunk ratio");
  return use_default_frames_per_chunk();
}

void run_update_thread(ProcessingInstance* instance, uint16_t json_port) {
  instance->before_update_loop();
  palvex_StartUpdateThread(instance->process, json_port);  // returns on palvex_StopUpdateThread
  instance->after_update_loop();
}

std::shared_ptr<ProcessingInstance> create_processing_instance(const HostConfig& config,
                                                               uint32_t frames) {
  const uint32_t frames_per_chunk = select_frames_per_chunk(frames);
  auto instance = std::make_shared<ProcessingInstance>();
  palvex_Parameters set = instance->parameter_set;

  if (!config.state_filename.empty())
    palvex_SetParameter(set, "STATE_FILENAME", config.state_filename.c_str());
  if (!config.onair_filename.empty())
    palvex_SetParameter(set, "STATE_ONAIR", config.onair_filename.c_str());
  if (config.storage_ro) palvex_SetParameter(set, "STORAGE_RO", "1");
  if (config.state_ro) palvex_SetParameter(set, "STATE_RO", "1");
  // After the fixed keys, so that a -a pair for one of them has the last word.
  for (const auto& [key, value] : config.params) {
    PALVEX_LOG(main_logger, 7, "Adding parameter " << key << "=" << value);
    palvex_SetParameter(set, key.c_str(), value.c_str());
  }
  for (const auto& [key, value] : config.metas) {
    PALVEX_LOG(main_logger, 7, "Adding metadata " << key << "=" << value);
    instance->add_metadata(key, value);
  }

  instance->process =
      palvex_InitProcess3(config.state_dir.c_str(), set, static_cast<int>(frames_per_chunk));
  if (instance->process == nullptr)
    return abandon(instance, "Error creating the process, aborting");

  // The engine takes metadata only once the process exists.
  for (const auto& [key, value] : instance->pending_metadata)
    palvex_SetMetadata(instance->process, key.c_str(), value.c_str());
  instance->pending_metadata.clear();

  instance->update_thread = std::thread(run_update_thread, instance.get(), config.json_port);
  if (palvex_WaitUpdateThreadReady(instance->process, ready_timeout) < 0)
    return abandon(instance, "Error creating the process, aborting");

  if (config.http_port == 0 && config.https_port == 0) return instance;

  // Stored before it is tested, so that teardown stops a server that answers but does not listen.
  instance->webserver = palvex_Webserver(static_cast<int>(config.http_port),
                                         static_cast<int>(config.https_port), instance->process);
  if (instance->webserver == PALVEX_NO_WEBSERVER ||
      !webserver_listening(config, palvex_Webserver_Status(instance->webserver)))
    return abandon(instance, "Error starting web server, aborting");
  return instance;
}
