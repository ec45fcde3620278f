// The engine as the benchmark sees it: processing is a plain copy of one chunk, and
// the rest of the interface only does what an instance without threads or web server needs.
#include <cstring>

#include "palvex.h"

struct palvex_ProcessData {
  int chunk;
};
struct palvex_ParametersData {
  int unused;
};

namespace {
palvex_ParametersData the_set;
palvex_ProcessData processes[] = {{32}, {64}, {128}, {256}, {512}, {1024}};
const int chunk_sizes[] = {32, 64, 128, 256, 512, 1024, 0};
}  // namespace

extern "C" {
const char* palvex_GetVersion(void) { return "bench"; }
int palvex_SetLogSeverity(int) { return 0; }
int palvex_SetLoggerCallback(palvex_LoggerCallback) { return 0; }
int palvex_GetSampleRate(void) { return 48000; }
int palvex_GetChunkSizeInFrames(void) { return 64; }
int palvex_GetChannelCount(void) { return 2; }
int palvex_GetAudioInputCount(void) { return 1; }
int palvex_GetAudioOutputCount(void) { return 1; }
palvex_Parameters palvex_NewParameters(void) { return &the_set; }
int palvex_SetParameter(palvex_Parameters, const char*, const char*) { return 0; }
int palvex_FreeParameters(palvex_Parameters) { return 0; }
const int* palvex_GetPossibleChunkSizeInFrames(void) { return chunk_sizes; }
palvex_Process palvex_InitProcess3(const char*, palvex_Parameters, int frames_per_chunk) {
  for (palvex_ProcessData& process : processes)
    if (process.chunk == frames_per_chunk) return &process;
  return nullptr;
}
int palvex_SetMetadata(palvex_Process, const char*, const char*) { return 0; }
int palvex_StartUpdateThread(palvex_Process, int) { return 0; }
int palvex_WaitUpdateThreadReady(palvex_Process, int) { return 0; }
int palvex_StopUpdateThread(palvex_Process) { return 0; }
int palvex_ExitProcess(palvex_Process) { return 0; }
int palvex_GetProcessChunkFrames(palvex_Process process) { return process->chunk; }

int palvex_ProcessAudio_Planar(palvex_Process process, float* in[2], float* out[2]) {
  const size_t bytes = static_cast<size_t>(process->chunk) * sizeof(float);
  std::memcpy(out[0], in[0], bytes);
  std::memcpy(out[1], in[1], bytes);
  return 0;
}

palvex_WebserverHandle palvex_Webserver(int, int, palvex_Process) { return PALVEX_NO_WEBSERVER; }
palvex_WebserverHandle palvex_Webserver_tcp2(int, int, const char*, int, palvex_Parameters) {
  return PALVEX_NO_WEBSERVER;
}
int palvex_Webserver_Status(palvex_WebserverHandle) { return 0; }
int palvex_Webserver_Stop(palvex_WebserverHandle, int) { return 0; }
}  // extern "C"
