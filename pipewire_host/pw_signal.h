// The PipeWire host's stop-signal handler and the main loop's watch on the stop flag.
#pragma once

struct HostData;

// Restores the default stop actions, sets stop_requested and wakes the main loop, which quits
// itself. It touches no PipeWire object and no HostData: it may run on any thread while main
// tears them down, or after.
extern "C" void on_pw_signal(int signal_number);

// A quit asked for before pw_main_loop_run is undone when it sets the loop running, and a
// signal handler may not call into the loop. The loop therefore looks at stop_requested itself:
// once as it starts, and whenever on_pw_signal wakes it. Call once the loop exists and before it
// runs; stop before the loop is destroyed.
void watch_stop_flag(HostData& host);
void stop_watching_stop_flag(HostData& host);
