// What sets palvex-jack apart in the code both audio hosts share; the options tests use it too.
#pragma once

#include "host_description.h"
#include "signals.h"

inline const HostDescription jack_description{
    true,      // -S/--session
    "palvex",  // the client name before any -C
    "  -C, --name=jack_name          JACK client name (current:",
    "",  // JACK is told an empty name as it is
    on_signal,
    9,  // "MAIN stopping" and "MAIN exiting now" only from VERB5 on
};
