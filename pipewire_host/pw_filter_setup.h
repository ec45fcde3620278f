// The filter node of palvex-pipewire: properties, four DSP ports, latency, connection.
#pragma once

#include <string>

struct HostData;

// Creates host.filter on host.loop with its node properties (application.name from
// client_name) and adds the ports input FL, FR, output FL, FR to host.in_ports/out_ports.
// False when the filter could not be created.
bool create_filter(HostData& host, const std::string& client_name);
// Connects with real-time processing and the 10 ms process-latency parameter;
// the result of pw_filter_connect, negative on failure.
int connect_filter(HostData& host);
