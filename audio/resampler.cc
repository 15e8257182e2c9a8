#include "audio/resampler.h"

#include <cstddef>

namespace qztap {

double expectedOutputCount(int64_t frameCount, double sourceRate) {
  return static_cast<double>(frameCount) / (sourceRate / TARGET_SR);
}

void resample(std::span<const float> mono, double sourceRate, ResamplerState& state,
              std::vector<float>& output) {
  const double ratio = sourceRate / TARGET_SR;
  const auto n = static_cast<int64_t>(mono.size());
  const auto end = static_cast<double>(n);
  // Writing by index into room sized up front avoids a capacity check per sample;
  // the rare buffer whose rounding yields more than that grows the room.
  size_t room = static_cast<size_t>(static_cast<int64_t>(end / ratio)) + 2;
  output.resize(room);
  float* out = output.data();
  size_t produced = 0;

  const float* samples = mono.data();
  const float previous = state.haveCarry ? state.carry : samples[0];
  double pos = state.resampPos;
  while (pos < end) {
    const auto i = static_cast<int64_t>(pos);
    const float a = i == 0 ? previous : samples[i - 1];
    const float b = samples[i];
    const auto t = static_cast<float>(pos - static_cast<double>(i));
    // Three separately rounded float operations, in this order; never fused.
    const float difference = b - a;
    const float step = difference * t;
    const float y = a + step;
    if (produced == room) {
      room *= 2;
      output.resize(room);
      out = output.data();
    }
    out[produced++] = y;
    pos += ratio;
  }
  output.resize(produced);

  state.resampPos = pos - end;
  state.carry = samples[n - 1];
  state.haveCarry = true;
}

}  // namespace qztap
