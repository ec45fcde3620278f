// The PipeWire process callback: one engine instance per quantum, FIFOs between the graph's
// quantum and the engine's chunk, pass-through while there is no instance.
#include "pw_process.h"

#include <pipewire/filter.h>
#include <spa/node/io.h>

#include <algorithm>
#include <cstring>
#include <exception>

#include "host_data.h"
#include "log.h"
#include "realtime.h"

// PipeWire made this call for the process event, though its header does not say so.
extern "C" void* pw_filter_get_dsp_buffer(void* port_data, uint32_t n_samples) PALVEX_REALTIME;

namespace {

constexpr size_t channels = 2;

void append_samples(SampleFifo& fifo, const float* samples, size_t count) PALVEX_REALTIME {
  std::memcpy(fifo.grow(count), samples, count * sizeof(float));
}

void append_silence(SampleFifo& fifo, size_t count) PALVEX_REALTIME {
  std::memset(fifo.grow(count), 0, count * sizeof(float));
}

bool valid(const ProcessingInstance* instance) PALVEX_REALTIME {
  return instance != nullptr && instance->process != nullptr;
}

std::shared_ptr<ProcessingInstance> call_factory(HostData& host, uint32_t frames) {
  // A throw must not end PipeWire's data thread: it counts as a failed creation.
  try {
    if (host.instance_factory) return host.instance_factory(frames);
    PALVEX_LOG(main_logger, 2, "No instance factory");
  } catch (const std::exception& error) {
    PALVEX_LOG(main_logger, 2, "Creating the processing instance failed: " << error.what());
  } catch (...) {
    PALVEX_LOG(main_logger, 2, "Creating the processing instance failed");
  }
  return nullptr;
}

// The FIFOs must hold at least one chunk between them, or a delivery would come up short:
// a chunk larger than any before adds silence at the end of the output, once, at the change.
void fit_fifos_to_chunk(HostData& host, size_t chunk) {
  if (host.in_fifo.size() != channels || host.out_fifo.size() != channels) {
    host.in_fifo.assign(channels, {});
    host.out_fifo.assign(channels, SampleFifo(chunk, 0.0f));
    return;
  }
  const size_t held = host.in_fifo[0].size() + host.out_fifo[0].size();
  if (held >= chunk) return;
  for (SampleFifo& fifo : host.out_fifo) append_silence(fifo, chunk - held);
}

// Room for the largest a cycle makes them (input: a part chunk plus a quantum; output: what
// both hold plus a quantum), so that from this cycle on the FIFOs never allocate.
void reserve_fifos(HostData& host, size_t chunk, size_t frames) {
  const size_t held = host.in_fifo[0].size() + host.out_fifo[0].size();
  // A smaller chunk than before may find a part chunk of the old size waiting.
  const size_t waiting = std::max(host.in_fifo[0].size(), chunk);
  for (SampleFifo& fifo : host.in_fifo) fifo.reserve(waiting + frames);
  for (SampleFifo& fifo : host.out_fifo) fifo.reserve(held + frames);
}

bool fifos_ready(const HostData& host) PALVEX_REALTIME {
  return host.in_fifo.size() == channels && host.out_fifo.size() == channels;
}

void prepare_fifos(HostData& host, size_t chunk, size_t frames) {
  fit_fifos_to_chunk(host, chunk);
  reserve_fifos(host, chunk, frames);
}

// Blocks: engine start, update thread, web server, release of the old instance.
void replace_instance(HostData& host, uint32_t frames) {
  PALVEX_LOG(rt_logger, 4, "Process frames = " << frames);
  std::shared_ptr<ProcessingInstance> created = call_factory(host, frames);
  // The old instance lives until the new one exists, then goes here, on this thread.
  host.instance = std::move(created);
  if (!valid(host.instance.get())) {
    host.instance.reset();
    PALVEX_LOG(rt_logger, 3, "Invalid instance");
    return;
  }
  PALVEX_LOG(rt_logger, 9, "Instance OK, creating buffers");
  host.quantum = frames;
  const int chunk = palvex_GetProcessChunkFrames(host.instance->process);
  // Without a chunk yet, the FIFOs get their channels on the first cycle that has one.
  if (chunk <= 0) return;
  prepare_fifos(host, static_cast<size_t>(chunk), frames);
}

void* port_at(const std::vector<void*>& ports, size_t index) PALVEX_REALTIME {
  return index < ports.size() ? ports[index] : nullptr;
}

float* dsp_buffer(void* port, uint32_t frames) PALVEX_REALTIME {
  // A port that set-up could not add has no buffer, like a port PipeWire gives none.
  return port != nullptr ? static_cast<float*>(pw_filter_get_dsp_buffer(port, frames)) : nullptr;
}

void pass_through(float* const in[channels], float* const out[channels],
                  uint32_t frames) PALVEX_REALTIME {
  for (size_t c = 0; c < channels; ++c) {
    if (out[c] == nullptr) continue;
    if (in[c] != nullptr) {
      std::memmove(out[c], in[c], frames * sizeof(float));
    } else {
      std::memset(out[c], 0, frames * sizeof(float));
    }
  }
}

void run_engine(HostData& host, palvex_Process process, size_t chunk, float* const in[channels],
                float* const out[channels]) PALVEX_REALTIME {
  const size_t quantum = host.quantum;
  for (size_t c = 0; c < channels; ++c) {
    SampleFifo& fifo = host.in_fifo[c];
    if (in[c] != nullptr) {
      append_samples(fifo, in[c], quantum);
    } else {
      append_silence(fifo, quantum);
    }
  }

  // The engine reads straight from the input FIFO and writes into silence appended to the
  // output FIFO, all chunks of the cycle at once; the output pointers are taken after the
  // append, which may move the storage. Whatever part of a chunk the engine leaves unwritten
  // stays silent, whatever it returns: the storage behind the room held older output.
  const size_t chunks = host.in_fifo[0].size() / chunk;
  const size_t offset = chunks * chunk;
  const size_t out_start = host.out_fifo[0].size();
  for (SampleFifo& fifo : host.out_fifo) append_silence(fifo, offset);
  float* chunk_in[channels] = {host.in_fifo[0].data(), host.in_fifo[1].data()};
  float* chunk_out[channels] = {host.out_fifo[0].data() + out_start,
                                host.out_fifo[1].data() + out_start};
  for (size_t done = 0; done < chunks; ++done) {
    palvex_ProcessAudio_Planar(process, chunk_in, chunk_out);
    for (size_t c = 0; c < channels; ++c) {
      chunk_in[c] += chunk;
      chunk_out[c] += chunk;
    }
  }
  for (SampleFifo& fifo : host.in_fifo) fifo.drop_front(offset);

  for (size_t c = 0; c < channels; ++c) {
    SampleFifo& fifo = host.out_fifo[c];
    // The FIFOs always hold a chunk between them, so this is the whole quantum; the bound only
    // guards against an engine that changes its chunk without a new instance.
    const size_t ready = std::min(quantum, fifo.size());
    if (out[c] != nullptr) {
      std::memcpy(out[c], fifo.data(), ready * sizeof(float));
      std::memset(out[c] + ready, 0, (quantum - ready) * sizeof(float));
    }
    fifo.drop_front(ready);
  }
}

}  // namespace

void on_pw_process(void* data, spa_io_position* position) PALVEX_REALTIME {
  HostData& host = *static_cast<HostData*>(data);
  // Without a position the cycle's length is unknown, so no buffer can be touched safely.
  if (position == nullptr) return;
  const auto frames = static_cast<uint32_t>(position->clock.duration);

  // Only a cycle whose frame count changed, never steady state.
  if (frames != host.quantum) PALVEX_BLOCKING_BY_DESIGN(replace_instance(host, frames));

  float* in[channels] = {dsp_buffer(port_at(host.in_ports, 0), frames),
                         dsp_buffer(port_at(host.in_ports, 1), frames)};
  float* out[channels] = {dsp_buffer(port_at(host.out_ports, 0), frames),
                          dsp_buffer(port_at(host.out_ports, 1), frames)};

  // Through the member itself: a copy of the shared pointer would touch its reference count.
  const ProcessingInstance* instance = host.instance.get();
  const int chunk = valid(instance) ? palvex_GetProcessChunkFrames(instance->process) : 0;
  // A non-positive chunk would never drain the input; treat it like no instance at all.
  if (chunk <= 0) {
    pass_through(in, out, frames);
    return;
  }
  // Once a run at most: the first instance gave no chunk as it was made, and now gives one.
  if (!fifos_ready(host))
    PALVEX_BLOCKING_BY_DESIGN(prepare_fifos(host, static_cast<size_t>(chunk), host.quantum));
  run_engine(host, instance->process, static_cast<size_t>(chunk), in, out);
}
