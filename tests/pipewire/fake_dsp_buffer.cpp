// A link-time stand-in for pw_filter_get_dsp_buffer: the buffer of a TestPort, no PipeWire.
#include <pipewire/filter.h>

#include "fake_dsp_buffer.h"

int null_handle_requests = 0;

// Real-time safe like the real one: no allocation, no lock.
void* pw_filter_get_dsp_buffer(void* port_data, uint32_t n_samples) {
  if (port_data == nullptr) {
    ++null_handle_requests;
    return nullptr;
  }
  auto* port = static_cast<TestPort*>(port_data);
  ++port->requests;
  port->last_frames = n_samples;
  if (port->allocate) delete new volatile int(0);
  if (port->null_buffer || port->samples.size() < n_samples) return nullptr;
  return port->samples.data();
}
