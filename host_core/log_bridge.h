// Carries the engine's log lines into main_logger.
#pragma once

#include <functional>
#include <string>

using LogSinkFunction = std::function<void(int severity, std::string text)>;

// Empty from program start. Inline, so that a program that defines a global after including
// this header has that global destroyed before log_sink at exit.
inline LogSinkFunction log_sink;

extern "C" void on_library_log(int severity, const char* text);
void forward_library_log(int severity, const std::string& text);
