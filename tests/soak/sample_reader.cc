#include "tests/soak/sample_reader.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace qztap::soak {

float rampValue(uint64_t frame) { return static_cast<float>(frame & 0xffffffu); }

SampleReader::SampleReader(int readFd, bool checkRampAt48kHz)
    : fd(readFd), checking(checkRampAt48kHz), worker([this] { run(); }) {}

SampleReader::~SampleReader() {
  if (worker.joinable()) worker.join();
}

uint64_t SampleReader::finish() {
  worker.join();
  return count;
}

void SampleReader::run() {
  std::vector<char> chunk(1 << 16);
  size_t kept = 0;  // bytes of a sample split between two reads, at the front
  for (;;) {
    const ssize_t got = ::read(fd, chunk.data() + kept, chunk.size() - kept);
    if (got == 0) break;
    if (got < 0) {
      if (errno == EINTR) continue;
      std::abort();
    }
    const size_t bytes = kept + static_cast<size_t>(got);
    const size_t whole = bytes / sizeof(float) * sizeof(float);
    for (size_t at = 0; at < whole; at += sizeof(float)) {
      float sample;
      std::memcpy(&sample, chunk.data() + at, sizeof sample);
      check(sample);
    }
    kept = bytes - whole;
    std::memmove(chunk.data(), chunk.data() + whole, kept);
  }
  if (kept != 0 && !firstWrong) firstWrong = count;  // a torn last sample
}

void SampleReader::check(float sample) {
  if (checking && !firstWrong) {
    const uint64_t frame = count == 0 ? 0 : 3 * count - 1;
    if (sample != rampValue(frame)) firstWrong = count;
  }
  ++count;
}

}  // namespace qztap::soak
