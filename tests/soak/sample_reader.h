#pragma once

#include <cstdint>
#include <optional>
#include <thread>

namespace qztap::soak {

// Reads 32-bit float samples from a pipe on a thread of its own, counting them and,
// when told to, checking that sample m of a 48 kHz ramp stream is input frame 3m - 1
// (frame 0 for m = 0), frames counted modulo 2^24.
class SampleReader {
 public:
  SampleReader(int readFd, bool checkRampAt48kHz);
  ~SampleReader();

  // Waits for the writer to close its end, then returns what was read.
  uint64_t finish();
  std::optional<uint64_t> firstWrongSample() const { return firstWrong; }

 private:
  void run();
  void check(float sample);

  int fd;
  bool checking;
  uint64_t count = 0;
  std::optional<uint64_t> firstWrong;
  std::thread worker;
};

// The value the ramp stream's frame `frame` carries in every channel.
float rampValue(uint64_t frame);

}  // namespace qztap::soak
