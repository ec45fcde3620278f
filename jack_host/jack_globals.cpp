// The globals of the JACK host, shared by the set-up, the process callback and main.
// log_bridge.h comes first: log_sink is defined before current_instance, so at exit the
// instance is released while log_sink still exists.
#include "log_bridge.h"

#include "jack_host.h"

jack_client_t* jack_client = nullptr;
std::shared_ptr<ProcessingInstance> current_instance;
jack_port_t* jack_in_ports[2] = {nullptr, nullptr};
jack_port_t* jack_out_ports[2] = {nullptr, nullptr};
RejectedPeriod rejected_period;

static_assert(std::atomic<jack_nframes_t>::is_always_lock_free &&
                  std::atomic<unsigned char>::is_always_lock_free,
              "the process callback stores into the rejected period without a lock");
