// The JACK side of palvex-jack: its globals, the client set-up and the two JACK callbacks.
#pragma once

#include <jack/jack.h>

#include <atomic>
#include <memory>

#include "processing_instance.h"
#include "realtime.h"

// All written on the main thread before jack_activate and left alone while the client is active,
// so the process callback reads them without a lock.
extern jack_client_t* jack_client;                            // null unless a client is open
extern std::shared_ptr<ProcessingInstance> current_instance;  // made for JACK's buffer size
extern jack_port_t* jack_in_ports[2];                         // in_1, in_2
extern jack_port_t* jack_out_ports[2];                        // out_1, out_2

// jackd2 stops calling a client whose process callback fails, for good: the process callback
// records the period it rejected here, with plain stores, so that main can end the host.
struct RejectedPeriod {
  std::atomic<jack_nframes_t> frames{0};
  std::atomic<jack_nframes_t> chunk{0};
  std::atomic<unsigned char> seen{0};  // stored last, with release: frames and chunk are set
};
extern RejectedPeriod rejected_period;

// 1 when the client is active with its four ports, 0 when the set-up failed; after a failure
// no client is open any more. An exception from the factory leaves the client open, inactive.
int setup_jack(InstanceFactory factory, const char* client_name, const char* session_id);

// Runs the engine in place on the port buffers, once per engine chunk. 1 rejects the period.
extern "C" int on_jack_process(jack_nframes_t frames, void* arg) PALVEX_REALTIME;
// The server went away or dropped us: only asks main to stop.
extern "C" void on_jack_shutdown(void* arg);
