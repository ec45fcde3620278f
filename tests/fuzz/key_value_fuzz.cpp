// Fuzz target: the key=value splitter and the port readers of the option stage.
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <string>
#include <utility>

#include "option_values.h"

namespace {

[[noreturn]] void fail(const char* what, const std::string& text) {
  std::fprintf(stderr, "%s for the text \"%s\"\n", what, text.c_str());
  std::abort();
}

// What formatted extraction of an unsigned number from a string stream gives, written out
// from its rules: blank keeps the old value, no digit gives 0, too large saturates, and "-"
// negates in the type's width.
template <typename Port>
Port expected_port(const std::string& text, Port old_value) {
  size_t i = 0;
  while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) ++i;
  if (i == text.size()) return old_value;
  bool negative = false;
  if (text[i] == '+' || text[i] == '-') negative = text[i++] == '-';
  const uint64_t max = std::numeric_limits<Port>::max();
  uint64_t value = 0;
  bool any_digit = false, too_large = false;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    any_digit = true;
    value = value * 10 + static_cast<uint64_t>(text[i] - '0');
    if (value > max) {
      too_large = true;
      value = max;  // keeps the sum bounded; the rest only decides nothing more
    }
  }
  if (!any_digit) return 0;
  if (too_large) return static_cast<Port>(max);
  return static_cast<Port>(negative ? (max + 1 - value) & max : value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const char* text = bytes.c_str();  // an argument ends at its first NUL, as in argv
  const std::string argument(text);

  std::pair<std::string, std::string> pair{"old key", "old value"};
  const bool split = split_key_value(text, pair);
  const size_t equals = argument.find('=');
  if (split != (!argument.empty() && equals != std::string::npos))
    fail("split_key_value accepted or refused the wrong text", argument);
  if (split &&
      (pair.first != argument.substr(0, equals) || pair.second != argument.substr(equals + 1)))
    fail("split_key_value cut the pair at the wrong place", argument);

  uint16_t json_port = 5010;
  read_port_option(text, json_port);
  if (json_port != expected_port<uint16_t>(argument, 5010))
    fail("the 16-bit port reader gave another value", argument);
  uint32_t web_port = 8080;
  read_port_option(text, web_port);
  if (web_port != expected_port<uint32_t>(argument, 8080))
    fail("the 32-bit port reader gave another value", argument);
  return 0;
}
