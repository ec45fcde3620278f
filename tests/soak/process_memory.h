// Resident memory of another process, as the kernel counts it.
#pragma once

#include <sys/types.h>

#include <cstdint>

// VmRSS of the process in KiB; 0 when it cannot be read (the process is gone).
uint64_t resident_kib(pid_t pid);
