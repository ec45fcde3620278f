// The engine's own log: lines go to the host's callback, or to stderr when none is registered.
#pragma once

#include <string>

#include "palvex.h"

namespace engine {

enum Severity { kFatal = 1, kError = 2, kWarn = 3, kInfo = 4, kVerb = 5, kDebug = 10 };

void set_log_severity(int level);
void set_log_callback(palvex_LoggerCallback callback);
bool log_enabled(int severity);
// Safe from any engine thread except the audio path, which never logs.
void log(int severity, const std::string& text);

}  // namespace engine
