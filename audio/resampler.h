#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qztap {

// The output sample rate in Hz.
inline constexpr double TARGET_SR = 16000.0;

// What carries from one buffer to the next so that consecutive buffers form one
// continuous signal. Touched only by the thread that delivers audio.
struct ResamplerState {
  double resampPos = 0.0;  // read position for the next buffer, in its samples
  float carry = 0.0f;      // last mono sample of the previous buffer
  bool haveCarry = false;  // false until the first buffer has been resampled
};

// How many samples resampling `frameCount` frames at `sourceRate` reserves room for,
// before truncation to an integer (may be infinite for absurd rates).
double expectedOutputCount(int64_t frameCount, double sourceRate);

// Linear interpolation of `mono` (at least one sample) from `sourceRate` (> 0) to
// TARGET_SR. Replaces the contents of `output` and moves `state` on. Position 0
// stands for the carried sample, position k for mono sample k - 1, so output
// lags the input by one input sample and no buffer needs the next one.
void resample(std::span<const float> mono, double sourceRate, ResamplerState& state,
              std::vector<float>& output);

}  // namespace qztap
