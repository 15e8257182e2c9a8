#pragma once

#include <cstdint>

namespace qztap::soak {

// The process's resident memory as /proc/self/status reports it, in KiB.
struct ProcessMemory {
  uint64_t peakKiB = 0;     // VmHWM: the most ever resident
  uint64_t currentKiB = 0;  // VmRSS
};

ProcessMemory readProcessMemory();

}  // namespace qztap::soak
