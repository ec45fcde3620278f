// What the fault tests check in a state folder after a host ended.
#pragma once

#include <string>
#include <vector>

// Files in the state folder that are not whole: temporary files left over, or state files
// that do not parse as JSON. Empty when all is well.
std::vector<std::string> torn_state_files(const std::string& state_dir);
