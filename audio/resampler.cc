#include "audio/resampler.h"

#include <cstddef>

namespace qztap {
namespace {

// y = a + (b - a) * t as three separately rounded float operations, in this order.
// The build forbids contracting them into a fused multiply-add.
float interpolate(float a, float b, double pos, double index) {
  const auto t = static_cast<float>(pos - index);
  const float difference = b - a;
  const float step = difference * t;
  return a + step;
}

// Interpolates at the whole positions first, first + 3, ... below end (first >= 1).
// Adding 3 to a whole position is exact far beyond any buffer, so t is exactly 0 at
// each of them and the chain of positions is known up front: the same operations as
// interpolate(), free of the serial position chain, so the loop vectorizes. `out`
// must have room for them all; returns how many were written.
int64_t interpolateEveryThird(const float* samples, int64_t first, int64_t end, float* out) {
  const int64_t count = (end - 1 - first) / 3 + 1;
  const float* before = samples + first - 1;
  for (int64_t k = 0; k < count; ++k) {
    const float a = before[3 * k];
    const float difference = before[3 * k + 1] - a;
    out[k] = a + difference * 0.0f;
  }
  return count;
}

}  // namespace

double expectedOutputCount(int64_t frameCount, double sourceRate) {
  return static_cast<double>(frameCount) / (sourceRate / TARGET_SR);
}

void resample(std::span<const float> mono, double sourceRate, ResamplerState& state,
              std::vector<float>& output) {
  const double ratio = sourceRate / TARGET_SR;
  const auto end = static_cast<double>(mono.size());
  const float* samples = mono.data();

  // Writing by index into room sized up front keeps capacity checks out of the
  // inner loop; the rare buffer whose rounding yields more grows the room.
  size_t room = static_cast<size_t>(static_cast<int64_t>(end / ratio)) + 2;
  output.resize(room);
  size_t produced = 0;
  auto grow = [&] {
    room *= 2;
    output.resize(room);
  };

  double pos = state.resampPos;
  // Positions below 1 lie between the sample carried from the previous buffer (or,
  // for the very first buffer, the first sample itself) and the first sample.
  const float previous = state.haveCarry ? state.carry : samples[0];
  while (pos < 1.0) {
    if (produced == room) grow();
    output[produced++] = interpolate(previous, samples[0], pos, 0.0);
    pos += ratio;
  }
  // 48 kHz, the rate asked of every capture, steps by exactly 3 from a whole position.
  if (ratio == 3.0 && pos < end && pos == static_cast<double>(static_cast<int64_t>(pos))) {
    const auto first = static_cast<int64_t>(pos);
    const auto n = static_cast<int64_t>(mono.size());
    while (static_cast<int64_t>(room - produced) < (n - 1 - first) / 3 + 1) grow();
    const int64_t count = interpolateEveryThird(samples, first, n, output.data() + produced);
    produced += static_cast<size_t>(count);
    pos = static_cast<double>(first + 3 * count);
  }
  while (pos < end) {
    float* out = output.data();
    while (pos < end && produced < room) {
      const auto i = static_cast<int64_t>(pos);
      out[produced++] = interpolate(samples[i - 1], samples[i], pos, static_cast<double>(i));
      pos += ratio;
    }
    if (pos < end) grow();
  }
  output.resize(produced);

  state.resampPos = pos - end;
  state.carry = samples[mono.size() - 1];
  state.haveCarry = true;
}

}  // namespace qztap
