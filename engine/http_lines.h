// Recognises what a browser or an HTTP client sends first, so that the JSON port can turn such
// a client away before the body it carries is read as a request. Only the shape of a line is
// looked at: nothing of HTTP is served or understood here.
#pragma once

#include <string_view>

namespace engine {

// "METHOD target HTTP/1.x", the line ending's carriage return allowed.
bool is_http_request_line(std::string_view line);
// "Name: value", as the header lines that follow a request line.
bool is_http_header_line(std::string_view line);

}  // namespace engine
