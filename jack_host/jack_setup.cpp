// Makes palvex-jack a running JACK client: open, callbacks, instance, ports, activation, wiring.
#include <cstdio>
#include <cstdlib>
#include <ios>

#include "jack_host.h"
#include "log.h"
#include "signals.h"

namespace {

constexpr jack_nframes_t engine_sample_rate = 48000;

bool has_session(const char* session_id) { return session_id != nullptr && session_id[0] != '\0'; }

jack_client_t* open_client(const char* client_name, const char* session_id, jack_status_t* status) {
  if (has_session(session_id))
    return jack_client_open(client_name, JackSessionID, status, session_id);
  return jack_client_open(client_name, JackNullOption, status);
}

// The handle is dead after the close; clearing it keeps anyone from closing it twice.
void close_client() {
  jack_client_close(jack_client);
  jack_client = nullptr;
}

// in_1, in_2, out_1, out_2; the first failure ends it, the ports made so far go with the client.
bool register_ports() {
  struct Direction {
    const char* format;
    unsigned long flag;
    jack_port_t** ports;
  };
  const Direction directions[] = {{"in_%zu", JackPortIsInput, jack_in_ports},
                                  {"out_%zu", JackPortIsOutput, jack_out_ports}};
  for (const Direction& direction : directions) {
    for (size_t i = 0; i < 2; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, direction.format, i + 1);
      direction.ports[i] =
          jack_port_register(jack_client, name, JACK_DEFAULT_AUDIO_TYPE, direction.flag, 0);
      if (direction.ports[i] == nullptr) return false;
    }
  }
  return true;
}

// What differs between wiring the inputs and wiring the outputs.
struct Wiring {
  unsigned long physical_flags;  // of the physical ports we connect to
  jack_port_t** ours;
  bool ours_receive;  // our port is the destination of the connection
  const char* none_text;
  const char* side;  // "input" or "output"
};

// Our two ports to the first two physical ports of the other side; further ones stay free.
// A failed connection is reported and never fails the set-up.
void connect_to_physical(const Wiring& wiring) {
  const char** physical =
      jack_get_ports(jack_client, nullptr, nullptr, JackPortIsPhysical | wiring.physical_flags);
  if (physical == nullptr) {
    PALVEX_LOG(main_logger, 3, wiring.none_text);
    return;
  }
  for (size_t i = 0; i < 2; ++i) {
    if (physical[i] == nullptr) {
      // The count is of the physical ports found, so it can only be 1.
      if (i == 0)
        PALVEX_LOG(main_logger, 2, "JACK: cannot connect " << wiring.side << " ports");
      else
        PALVEX_LOG(main_logger, 2, "JACK: connected only " << i << " " << wiring.side << " ports");
      break;
    }
    const char* our_name = jack_port_name(wiring.ours[i]);
    const int result = wiring.ours_receive ? jack_connect(jack_client, physical[i], our_name)
                                           : jack_connect(jack_client, our_name, physical[i]);
    if (result != 0)
      PALVEX_LOG(main_logger, 2, "JACK: cannot connect " << wiring.side << " port " << i);
  }
  std::free(physical);
}

}  // namespace

extern "C" void on_jack_shutdown(void* /*arg*/) { stop_requested.store(1); }

int setup_jack(InstanceFactory factory, const char* client_name, const char* session_id) {
  jack_status_t status = static_cast<jack_status_t>(0);
  jack_client = open_client(client_name, session_id, &status);
  if (jack_client == nullptr) {
    PALVEX_LOG(
        main_logger, 2,
        "jack_client_open() failed, status = 0x" << std::hex << static_cast<unsigned>(status));
    if (status & JackServerFailed) PALVEX_LOG(main_logger, 2, "Unable to connect to JACK server");
    return 0;
  }
  if (status & JackServerStarted) PALVEX_LOG(main_logger, 4, "JACK server started");
  if (status & JackNameNotUnique) {
    const char* name = jack_get_client_name(jack_client);
    PALVEX_LOG(
        main_logger, 4,
        "unique name '" << (name != nullptr ? name : "(null)") << "' assigned to jack client");
  }

  // JACK calls neither before jack_activate, when the instance and the ports exist.
  jack_set_process_callback(jack_client, on_jack_process, nullptr);
  jack_on_shutdown(jack_client, on_jack_shutdown, nullptr);

  PALVEX_LOG(main_logger, 4, "JACK engine sample rate: " << jack_get_sample_rate(jack_client));
  // The rate is reported, not enforced: the engine runs at 48000 whatever JACK does.
  if (jack_get_sample_rate(jack_client) != engine_sample_rate)
    PALVEX_LOG(main_logger, 2,
               "JACK is running at " << jack_get_sample_rate(jack_client) << " but process is for "
                                     << engine_sample_rate);
  PALVEX_LOG(main_logger, 4, "JACK engine buffer sze: " << jack_get_buffer_size(jack_client));

  // The chunk size is chosen inside the factory from JACK's buffer size.
  current_instance = factory(jack_get_buffer_size(jack_client));
  if (!current_instance) {
    close_client();  // instance creation has logged why
    return 0;
  }

  if (!register_ports()) {
    PALVEX_LOG(main_logger, 2, "not enough JACK ports available");
    close_client();
    return 0;
  }

  if (jack_activate(jack_client) != 0) {
    PALVEX_LOG(main_logger, 2, "JACK: cannot activate client");
    close_client();
    return 0;
  }

  // A session manager restores the connections itself.
  if (has_session(session_id)) return 1;

  // Ports can only be connected once the client is active.
  connect_to_physical(
      {JackPortIsOutput, jack_in_ports, true, "JACK: no physical capture ports", "input"});
  connect_to_physical(
      {JackPortIsInput, jack_out_ports, false, "JACK: no physical playback ports", "output"});
  return 1;
}
