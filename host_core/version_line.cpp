// The engine's version as the programs show it: the banner, -V and the help's first line.
#include "version_line.h"

#include <ostream>

#include "palvex.h"

std::string engine_version_text() {
  const char* version = palvex_GetVersion();
  return version != nullptr ? version : "unknown";
}

void print_version_line(std::ostream& out) {
  out << "VELMOR Palvex Version " << engine_version_text() << std::endl;
}
