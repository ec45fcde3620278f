// Resident memory of another process, as the kernel counts it.
#include "process_memory.h"

#include <fstream>
#include <string>

uint64_t resident_kib(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::stoull(line.substr(6));
  return 0;
}
