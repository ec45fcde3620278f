// Reading option arguments, shared by the options stages of all three programs.
#pragma once

#include <cstdint>
#include <string>
#include <utility>

// What an options stage returns when the program goes on; any other value is its exit status.
constexpr int options_go_on = -1;

// Stream extraction with saturation; an empty or blank text leaves the value as it was.
void read_port_option(const char* text, uint16_t& port);
void read_port_option(const char* text, uint32_t& port);
// Splits at the first "="; false when the text is empty or holds no "=".
bool split_key_value(const char* text, std::pair<std::string, std::string>& pair);
