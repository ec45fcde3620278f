// The filter node of palvex-pipewire: node and port properties, DSP ports, process latency.
#include "pw_filter_setup.h"

#include <pipewire/pipewire.h>
#include <spa/param/latency-utils.h>
#include <spa/pod/builder.h>

#include <cstdint>

#include "host_data.h"
#include "icon.h"
#include "log.h"
#include "pw_process.h"

namespace {

// Every other event stays null: the host reacts to no state change of the filter.
const pw_filter_events filter_events = [] {
  pw_filter_events events{};
  events.version = 1;  // the members up to "command", all this host knows of
  events.process = on_pw_process;
  return events;
}();

constexpr const char* node_name = "VELMOR Palvex";
constexpr const char* port_names[] = {"FL", "FR"};
constexpr int64_t process_latency_ns = 10000000;  // 10 ms

pw_properties* port_properties(const char* name) {
  return pw_properties_new(PW_KEY_FORMAT_DSP, "32 bit float mono audio", PW_KEY_PORT_NAME, name,
                           PW_KEY_AUDIO_CHANNEL, name, PW_KEY_AUDIO_RATE, "48000",
                           "audio.allowed-rates", "[ 48000 ]", PW_KEY_AUDIO_FORMAT, "f32", nullptr);
}

void add_ports(HostData& host, spa_direction direction, std::vector<void*>& ports) {
  for (const char* name : port_names) {
    // The 4 bytes of port user data are never used; PipeWire only wants a size.
    void* port = pw_filter_add_port(host.filter, direction, PW_FILTER_PORT_FLAG_MAP_BUFFERS, 4,
                                    port_properties(name), nullptr, 0);
    if (port == nullptr)
      PALVEX_LOG(main_logger, 2,
                 "Can't add the " << (direction == SPA_DIRECTION_INPUT ? "input" : "output")
                                  << " port " << name << ", it stays silent");
    ports.push_back(port);
  }
}

}  // namespace

bool create_filter(HostData& host, const std::string& client_name) {
  pw_properties* properties = pw_properties_new(
      PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY, "Filter", PW_KEY_MEDIA_ROLE, "DSP",
      PW_KEY_APP_NAME, client_name.c_str(), PW_KEY_APP_ICON, icon_ico_base64, PW_KEY_APP_ICON_NAME,
      icon_path.c_str(), nullptr);
  host.filter = pw_filter_new_simple(pw_main_loop_get_loop(host.loop), node_name, properties,
                                     &filter_events, &host);
  if (host.filter == nullptr) return false;
  add_ports(host, SPA_DIRECTION_INPUT, host.in_ports);
  add_ports(host, SPA_DIRECTION_OUTPUT, host.out_ports);
  return true;
}

int connect_filter(HostData& host) {
  uint8_t buffer[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(buffer, sizeof buffer);
  spa_pod_frame frame;
  spa_pod_builder_push_object(&builder, &frame, SPA_TYPE_OBJECT_ParamProcessLatency,
                              SPA_PARAM_ProcessLatency);
  spa_pod_builder_add(&builder, SPA_PARAM_PROCESS_LATENCY_quantum, SPA_POD_Float(0.0f),
                      SPA_PARAM_PROCESS_LATENCY_rate, SPA_POD_Int(0), SPA_PARAM_PROCESS_LATENCY_ns,
                      SPA_POD_Long(process_latency_ns), 0);
  const spa_pod* params[1] = {static_cast<const spa_pod*>(spa_pod_builder_pop(&builder, &frame))};
  return pw_filter_connect(host.filter, PW_FILTER_FLAG_RT_PROCESS, params, 1);
}
