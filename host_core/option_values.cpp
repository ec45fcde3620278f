// Reading option arguments: port numbers by stream extraction, key=value pairs.
#include <cstring>
#include <sstream>

#include "option_values.h"

namespace {

// Formatted extraction gives what operators know from the original hosts: blank leaves the
// value alone, a word gives 0, too large saturates, a "-" negates in the type's width.
template <typename Port>
void extract_port(const char* text, Port& port) {
  std::stringstream stream(text != nullptr ? text : "");
  Port value = port;  // untouched when the stream holds nothing but blanks
  stream >> value;
  port = value;
}

}  // namespace

void read_port_option(const char* text, uint16_t& port) {
  static_assert(sizeof(unsigned short) == sizeof(uint16_t), "-j reads an unsigned short");
  extract_port<unsigned short>(text, port);
}

void read_port_option(const char* text, uint32_t& port) {
  static_assert(sizeof(unsigned int) == sizeof(uint32_t), "-w and -s read an unsigned int");
  extract_port<unsigned int>(text, port);
}

bool split_key_value(const char* text, std::pair<std::string, std::string>& pair) {
  if (text == nullptr || *text == '\0') return false;
  const char* equals = std::strchr(text, '=');
  if (equals == nullptr) return false;
  pair.first.assign(text, equals);
  pair.second.assign(equals + 1);  // may itself hold "="
  return true;
}
