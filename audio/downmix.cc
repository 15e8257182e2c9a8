#include "audio/downmix.h"

#include <bit>
#include <cstddef>

namespace qztap {

void downmix(std::span<const float* const> channels, int64_t frameCount, std::vector<float>& mono) {
  const auto n = static_cast<size_t>(frameCount);
  mono.resize(n);
  float* out = mono.data();
  const size_t count = channels.size();
  const float* first = channels[0];

  // Every element sees ((+0 + c0) + c1) + ... in list order, then the division;
  // the loops run channel by channel so that each one vectorizes.
  if (count == 1) {
    for (size_t i = 0; i < n; ++i) out[i] = 0.0f + first[i];
    return;
  }
  const float* second = channels[1];
  if (count == 2) {
    // x / 2 and x * 0.5 round the same exact quotient: the same bits, NaNs included.
    for (size_t i = 0; i < n; ++i) out[i] = ((0.0f + first[i]) + second[i]) * 0.5f;
    return;
  }
  for (size_t i = 0; i < n; ++i) out[i] = (0.0f + first[i]) + second[i];
  for (size_t c = 2; c < count; ++c) {
    const float* channel = channels[c];
    for (size_t i = 0; i < n; ++i) out[i] += channel[i];
  }
  const auto divisor = static_cast<float>(count);
  if (std::has_single_bit(count)) {
    const float reciprocal = 1.0f / divisor;  // exact for a power of two
    for (size_t i = 0; i < n; ++i) out[i] *= reciprocal;
  } else {
    for (size_t i = 0; i < n; ++i) out[i] /= divisor;
  }
}

}  // namespace qztap
