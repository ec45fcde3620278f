// The help text of the audio hosts (-h).
#pragma once

#include <iosfwd>

#include "host_description.h"
#include "host_options.h"

// settings: the values in force where -h stands; proc_verb: the raw PROC_VERB text, or null.
void print_host_help(std::ostream& out, const char* program, const HostDescription& host,
                     const HostSettings& settings, const char* proc_verb);
