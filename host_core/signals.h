// The stop flag and the SIGINT/SIGTERM handler shared by the JACK host and the web front-end.
#pragma once

#include <atomic>

// 0 at start, 1 once a stop is asked for; never set back.
extern std::atomic<unsigned char> stop_requested;

// Sets the flag and hands the next SIGINT or SIGTERM back to the default action.
extern "C" void on_signal(int signal_number);
// Puts SIGABRT, SIGINT and SIGTERM back to their default actions, in that order.
void restore_default_stop_signals();
