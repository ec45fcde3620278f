// What sets palvex-pipewire apart in the code both audio hosts share; the options tests use it
// too.
#pragma once

#include "host_description.h"
#include "pw_signal.h"

inline const HostDescription pipewire_description{
    false,  // no session
    "",     // no client name before -C
    "  -C, --name=pw_name            PipeWire client name (current:",
    "palvex-pipewire",  // the node's application name when -C gives none
    on_pw_signal,
    5,  // "MAIN stopping" and "MAIN exiting now" from VERB on
};
