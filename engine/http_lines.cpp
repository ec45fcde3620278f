// The two shapes of line that only an HTTP client sends.
#include "http_lines.h"

#include <cstring>

namespace engine {

// The characters of a method or a header name (a "token").
static bool is_token_char(char c) {
  if ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z')) return true;
  return c != '\0' && std::strchr("!#$%&'*+-.^_`|~", c) != nullptr;
}

static size_t token_length(std::string_view text) {
  size_t length = 0;
  while (length < text.size() && is_token_char(text[length])) ++length;
  return length;
}

static std::string_view without_line_end(std::string_view line) {
  if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
  return line;
}

bool is_http_request_line(std::string_view line) {
  line = without_line_end(line);
  const size_t method = token_length(line);
  if (method == 0 || method >= line.size() || line[method] != ' ') return false;
  line.remove_prefix(method + 1);
  const size_t target_end = line.find(' ');
  if (target_end == 0 || target_end == std::string_view::npos) return false;
  for (size_t i = 0; i < target_end; ++i)
    if (static_cast<unsigned char>(line[i]) < 0x21 || line[i] == 0x7f) return false;
  const std::string_view version = line.substr(target_end + 1);
  return version.size() == 8 && version.substr(0, 7) == "HTTP/1." && version[7] >= '0' &&
         version[7] <= '9';
}

bool is_http_header_line(std::string_view line) {
  const size_t name = token_length(line);
  return name > 0 && name < line.size() && line[name] == ':';
}

}  // namespace engine
