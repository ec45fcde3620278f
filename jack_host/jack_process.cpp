// The JACK process callback: the engine works directly on JACK's port buffers, chunk by chunk.
#include <cstring>

#include "jack_host.h"
#include "log.h"
#include "realtime.h"

// JACK made this call for the process callback, though its header does not say so.
extern "C" void* jack_port_get_buffer(jack_port_t* port, jack_nframes_t frames) PALVEX_REALTIME;

namespace {

// A log record (text, time, thread id) may allocate.
void report_bad_period(jack_nframes_t frames, jack_nframes_t chunk) {
  PALVEX_LOG(rt_logger, 2,
             "JACK bad number of frames " << frames << " (expect a multiple of " << chunk << ")");
}

// Without an engine there is nothing to run: send silence rather than stale buffer contents.
void write_silence(jack_nframes_t frames) PALVEX_REALTIME {
  for (jack_port_t* port : jack_out_ports) {
    if (port == nullptr) continue;
    void* buffer = jack_port_get_buffer(port, frames);
    if (buffer != nullptr) std::memset(buffer, 0, frames * sizeof(float));
  }
}

float* port_buffer(jack_port_t* port, jack_nframes_t frames) PALVEX_REALTIME {
  return static_cast<float*>(jack_port_get_buffer(port, frames));
}

}  // namespace

extern "C" int on_jack_process(jack_nframes_t frames, void* /*arg*/) PALVEX_REALTIME {
  // Through the global itself: a copy of the shared pointer would touch its reference count.
  const ProcessingInstance* instance = current_instance.get();
  palvex_Process process = instance != nullptr ? instance->process : nullptr;
  if (process == nullptr) {
    write_silence(frames);
    return 0;
  }

  // Read once: the loop bound and every advance must agree, or a chunk could run past the end.
  const auto chunk = static_cast<jack_nframes_t>(palvex_GetProcessChunkFrames(process));
  // The engine only takes whole chunks; a part chunk is never processed.
  if (chunk == 0 || frames % chunk != 0) {
    // Only a rejected period logs; it is lost audio already.
    PALVEX_BLOCKING_BY_DESIGN(report_bad_period(frames, chunk));
    rejected_period.frames.store(frames, std::memory_order_relaxed);
    rejected_period.chunk.store(chunk, std::memory_order_relaxed);
    rejected_period.seen.store(1, std::memory_order_release);
    return 1;
  }

  float* in[2] = {port_buffer(jack_in_ports[0], frames), port_buffer(jack_in_ports[1], frames)};
  float* out[2] = {port_buffer(jack_out_ports[0], frames), port_buffer(jack_out_ports[1], frames)};
  for (jack_nframes_t done = 0; done < frames; done += chunk) {
    palvex_ProcessAudio_Planar(process, in, out);
    for (float*& samples : in) samples += chunk;
    for (float*& samples : out) samples += chunk;
  }
  return 0;
}
