#include "tests/soak/process_memory.h"

#include <fstream>
#include <string>
#include <string_view>

namespace qztap::soak {
namespace {

// The number of a "Key:   1234 kB" line, when the line has `key`.
bool readField(const std::string& line, std::string_view key, uint64_t& value) {
  if (line.rfind(key, 0) != 0) return false;
  value = std::stoull(line.substr(key.size()));
  return true;
}

}  // namespace

ProcessMemory readProcessMemory() {
  ProcessMemory memory;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    readField(line, "VmHWM:", memory.peakKiB) || readField(line, "VmRSS:", memory.currentKiB);
  }
  return memory;
}

}  // namespace qztap::soak
