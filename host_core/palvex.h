// Declarations of the processing engine libvelmor.palvex.so, which all three programs link.
#pragma once

#include <stdint.h>

#include "realtime.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct palvex_ParametersData* palvex_Parameters;  // opaque parameter set
typedef struct palvex_ProcessData* palvex_Process;        // opaque processing instance
typedef uint64_t palvex_WebserverHandle;                  // all bits set: none or failed
typedef void (*palvex_LoggerCallback)(int severity, const char* text);  // any engine thread

#define PALVEX_NO_WEBSERVER (~(palvex_WebserverHandle)0)

const char* palvex_GetVersion(void);
int palvex_SetLogSeverity(int level);
int palvex_SetLoggerCallback(palvex_LoggerCallback callback);

// The one format the hosts are built for: 48000, 64, 2, 1, 1.
int palvex_GetSampleRate(void);
int palvex_GetChunkSizeInFrames(void);
int palvex_GetChannelCount(void);
int palvex_GetAudioInputCount(void);
int palvex_GetAudioOutputCount(void);

palvex_Parameters palvex_NewParameters(void);  // null on failure
int palvex_SetParameter(palvex_Parameters set, const char* key, const char* value);
int palvex_FreeParameters(palvex_Parameters set);

// Frames-per-chunk values the engine accepts, ended by a 0 entry.
const int* palvex_GetPossibleChunkSizeInFrames(void);

palvex_Process palvex_InitProcess3(const char* storage_dir, palvex_Parameters set,
                                   int frames_per_chunk);  // null on failure
int palvex_SetMetadata(palvex_Process process, const char* key, const char* value);

// Serves the JSON control port on the calling thread until palvex_StopUpdateThread.
int palvex_StartUpdateThread(palvex_Process process, int json_port);
int palvex_WaitUpdateThreadReady(palvex_Process process, int timeout);  // negative on failure
int palvex_StopUpdateThread(palvex_Process process);
int palvex_ExitProcess(palvex_Process process);

// Real-time safe, as the engine promises: frames per channel of one palvex_ProcessAudio_Planar
// call, and the call.
int palvex_GetProcessChunkFrames(palvex_Process process) PALVEX_REALTIME;
int palvex_ProcessAudio_Planar(palvex_Process process, float* in[2], float* out[2]) PALVEX_REALTIME;

palvex_WebserverHandle palvex_Webserver(int http_port, int https_port, palvex_Process process);
// Serves the web interface against the JSON port of an audio host elsewhere; set may be freed at
// once.
palvex_WebserverHandle palvex_Webserver_tcp2(int http_port, int https_port, const char* address,
                                             int json_port, palvex_Parameters set);
int palvex_Webserver_Status(palvex_WebserverHandle handle);  // bit 0 HTTP, bit 1 HTTPS listening
int palvex_Webserver_Stop(palvex_WebserverHandle handle, int timeout);

#ifdef __cplusplus
}
#endif
