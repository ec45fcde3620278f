// Loopback ports for test and benchmark servers, without the test framework: the benchmarks and
// the fuzz targets use them too.
#pragma once

// A TCP port that nothing listens on right now, below the kernel's range for outgoing
// connections, and never the same one twice in a process. Throws std::runtime_error when the
// system gives none.
int free_tcp_port();
