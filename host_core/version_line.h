// The engine's version as the programs show it: the banner, -V and the help's first line.
#pragma once

#include <iosfwd>
#include <string>

// "unknown" when the engine gives no text.
std::string engine_version_text();
// "VELMOR Palvex Version " and the engine's version, flushed.
void print_version_line(std::ostream& out);
