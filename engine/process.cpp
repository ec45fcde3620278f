// Creating and ending a process, its metadata and its audio entry points.
#include "process.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>

#include "engine_log.h"
#include "live_config.h"
#include "parameters.h"

static bool is_plain_file_name(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos;
}

static bool is_possible_chunk(int frames) {
  for (const int* chunk = palvex_GetPossibleChunkSizeInFrames(); *chunk != 0; ++chunk)
    if (*chunk == frames) return true;
  return false;
}

static std::string possible_chunks_text() {
  std::string text;
  for (const int* chunk = palvex_GetPossibleChunkSizeInFrames(); *chunk != 0; ++chunk)
    text += (text.empty() ? "" : ", ") + std::to_string(*chunk);
  return text;
}

palvex_ProcessData::~palvex_ProcessData() {
  if (wake_fd >= 0) close(wake_fd);
}

extern "C" {

palvex_Process palvex_InitProcess3(const char* storage_dir, palvex_Parameters set,
                                   int frames_per_chunk) {
  using namespace engine;
  if (!is_possible_chunk(frames_per_chunk)) {
    log(kError, "Cannot process in chunks of " + std::to_string(frames_per_chunk) +
                    " frames (possible: " + possible_chunks_text() + ")");
    return nullptr;
  }
  try {
    ProcessSettings settings = set != nullptr ? read_settings(*set) : ProcessSettings{};
    // A state file name is a name in the storage directory, never a way out of it.
    const std::pair<const std::string*, const char*> names[] = {
        {&settings.state_filename, "State file name (STATE_FILENAME, -N) \""},
        {&settings.onair_filename, "On-air file name (STATE_ONAIR, -O) \""}};
    for (const auto& [name, what] : names) {
      if (!is_plain_file_name(*name)) {
        log(kError, what + *name + "\" is not a plain file name");
        return nullptr;
      }
    }
    // Each on-air write would replace the saved state, and the next start would call it corrupt.
    if (settings.state_filename == settings.onair_filename) {
      log(kError, "State file (STATE_FILENAME, -N) and on-air file (STATE_ONAIR, -O) are both \"" +
                      settings.state_filename + "\": they must be two files");
      return nullptr;
    }
    auto process = std::make_unique<palvex_ProcessData>();
    process->wake_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (process->wake_fd < 0) {
      log(kError, std::string("Cannot create the update loop's eventfd: ") + std::strerror(errno));
      return nullptr;
    }
    const std::string directory = storage_dir != nullptr ? storage_dir : "";
    // A process that replaces another of this engine on the same files starts where it stands.
    std::shared_ptr<LiveConfig> live = attach_live_config(directory, settings);
    process->audio = std::make_shared<AudioState>(frames_per_chunk, live->target_gain);
    process->config = std::make_shared<ConfigTree>(process->audio, settings, std::move(live));
    log(kVerb, "Process created: 48000 Hz, chunks of " + std::to_string(frames_per_chunk) +
                   " frames, storage " + (directory.empty() ? "none" : directory));
    return process.release();
  } catch (const std::exception& error) {
    log(kError, std::string("Cannot create the process: ") + error.what());
    return nullptr;
  }
}

int palvex_SetMetadata(palvex_Process process, const char* key, const char* value) {
  if (process == nullptr || key == nullptr) return -1;
  try {
    process->config->set_metadata(key, value != nullptr ? value : "");
  } catch (const std::exception&) {
    return -1;
  }
  return 0;
}

int palvex_ExitProcess(palvex_Process process) {
  if (process == nullptr) return -1;
  palvex_StopUpdateThread(process);
  {
    // The host joins its update thread first; should it not, do not free what the loop uses.
    std::unique_lock<std::mutex> lock(process->mutex);
    process->changed.wait(lock, [&] { return process->loop != palvex_ProcessData::Loop::kReady; });
  }
  delete process;
  return 0;
}

int palvex_GetProcessChunkFrames(palvex_Process process) PALVEX_REALTIME {
  return process != nullptr ? process->audio->chunk_frames : 0;
}

int palvex_ProcessAudio_Planar(palvex_Process process, float* in[2],
                               float* out[2]) PALVEX_REALTIME {
  if (process == nullptr || in == nullptr || out == nullptr) return -1;
  engine::process_chunk(*process->audio, in, out);
  return 0;
}

}  // extern "C"
