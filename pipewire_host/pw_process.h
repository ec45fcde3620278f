// The PipeWire process callback: instance per quantum, FIFOs between quantum and chunk.
#pragma once

#include "realtime.h"

struct spa_io_position;

// The filter's process event; data is main's HostData. Runs on PipeWire's data thread.
void on_pw_process(void* data, spa_io_position* position) PALVEX_REALTIME;
