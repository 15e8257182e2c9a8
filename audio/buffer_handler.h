#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "audio/output_backlog.h"
#include "audio/resampler.h"

namespace qztap {

// One entry of a delivered buffer's list: a channel's data (or none) and its size.
struct AudioEntry {
  const void* data;
  uint32_t byteSize;
};

// A buffer whose conversion would yield more samples than this is dropped: at any
// real rate that needs more than four minutes of audio in one buffer, so only an
// absurdly small rate (a few Hz for ordinary buffer sizes) or a corrupt size gets here.
inline constexpr double MAX_BLOCK_SAMPLES = 4194304.0;

// A buffer claiming a rate above this is dropped: no device comes near 10 MHz, and
// one such buffer would push the carried position so far ahead that the stream
// stayed silent for hours (for good at rates near the largest double).
inline constexpr double MAX_SOURCE_RATE = 1e7;

// The platform-independent half of the sample-buffer handler: turns each delivered
// buffer into samples, hands them to the backlog to standard output and carries the
// resampler state between buffers. A buffer it cannot use is dropped silently and
// leaves the state untouched. Calls must come from one thread at a time, in delivery
// order.
class SampleBufferHandler {
 public:
  explicit SampleBufferHandler(OutputBacklog& outputBacklog) : backlog(outputBacklog) {}

  // `streamRate` is the rate the buffer's stream description gives (any value);
  // each entry with data is one channel of 32-bit floats.
  void handle(double streamRate, std::span<const AudioEntry> entries);

  const ResamplerState& resamplerState() const { return resampler; }

 private:
  OutputBacklog& backlog;
  ResamplerState resampler;
  // Working storage reused from buffer to buffer so that steady capture allocates nothing.
  std::vector<const float*> channels;
  std::vector<float> mono;
  std::vector<float> output;
};

// The frames a buffer holds: those of its shortest entry with data, in whole 32-bit
// samples; 0 when no entry has data.
int64_t frameCountOf(std::span<const AudioEntry> entries);

// The rate a buffer is converted at: its stream's rate when finite and above 0,
// otherwise 48000 Hz (an infinite rate would poison the carried position for good).
double sourceRateOf(double streamRate);

}  // namespace qztap
