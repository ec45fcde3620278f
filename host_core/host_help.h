// The help text and the version line of the audio hosts (-h, -V).
#pragma once

#include <iosfwd>

#include "host_options.h"

// proc_verb: the raw PROC_VERB text, or null when it is unset.
void print_host_help(std::ostream& out, const char* program, HostVariant variant,
                     const HostSettings& settings, const char* proc_verb);
void print_version_line(std::ostream& out);
