// A TCP socket listening on every address, as the JSON port and the web server open theirs.
#pragma once

#include <string>

namespace engine {

// The descriptor, or -1 with why in error. Only SO_REUSEADDR: SO_REUSEPORT would let this share
// a port another program holds. extra_flags go to socket() (SOCK_NONBLOCK, say).
int listen_on_every_address(int port, int extra_flags, std::string& error);

}  // namespace engine
