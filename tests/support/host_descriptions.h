// The two audio hosts' descriptions as their mains give them, for the shared stages run
// in-process; the stop handler is the plain one, since no test here installs it.
#pragma once

#include "host_description.h"
#include "signals.h"

inline const HostDescription jack_description{
    true, "palvex", "  -C, --name=jack_name          JACK client name (current:", "", on_signal, 9};

inline const HostDescription pipewire_description{
    false,
    "",
    "  -C, --name=pw_name            PipeWire client name (current:",
    "palvex-pipewire",
    on_signal,
    5};
