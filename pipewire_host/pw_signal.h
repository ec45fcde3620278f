// The PipeWire host's stop-signal handler and the record it reaches the main loop through.
#pragma once

#include <atomic>

struct HostData;

// Null before main sets it; cleared before the HostData or its loop goes away. Atomic because
// a signal handler reads it.
extern std::atomic<HostData*> current_host;

// Restores the default stop actions, sets stop_requested and quits the main loop.
extern "C" void on_pw_signal(int signal_number);
