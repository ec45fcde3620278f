// The PipeWire host's stop-signal handler and the record it reaches the main loop through.
#pragma once

#include <atomic>

struct HostData;

// Null before main sets it; cleared before the HostData or its loop goes away. Atomic because
// a signal handler reads it.
extern std::atomic<HostData*> current_host;

// Restores the default stop actions, sets stop_requested and quits the main loop.
extern "C" void on_pw_signal(int signal_number);

// A quit asked for before pw_main_loop_run is undone when it sets the loop running. The loop
// therefore also looks at stop_requested itself: once as it starts, and whenever on_pw_signal
// wakes it. Call once the loop exists and before it runs; stop before the loop is destroyed.
void watch_stop_flag(HostData& host);
void stop_watching_stop_flag(HostData& host);
