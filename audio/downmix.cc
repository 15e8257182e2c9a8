#include "audio/downmix.h"

#include <bit>
#include <cstddef>

namespace qztap {
namespace {

bool isPowerOfTwo(size_t n) { return std::has_single_bit(n); }

}  // namespace

void downmix(std::span<const float* const> channels, int64_t frameCount,
             std::vector<float>& mono) {
  const auto n = static_cast<size_t>(frameCount);
  mono.resize(n);
  float* out = mono.data();
  const float divisor = static_cast<float>(channels.size());

  // Channel by channel rather than frame by frame: each element still sees
  // ((+0 + c0) + c1) + ... in list order, and every loop vectorizes.
  const float* first = channels[0];
  const float* second = channels.size() > 1 ? channels[1] : nullptr;
  if (second != nullptr) {
    for (size_t i = 0; i < n; ++i) out[i] = (0.0f + first[i]) + second[i];
  } else {
    for (size_t i = 0; i < n; ++i) out[i] = 0.0f + first[i];
  }
  for (size_t c = 2; c < channels.size(); ++c) {
    const float* channel = channels[c];
    for (size_t i = 0; i < n; ++i) out[i] += channel[i];
  }

  if (isPowerOfTwo(channels.size())) {
    // Dividing by a power of two and multiplying by its reciprocal round the same
    // exact quotient, so this gives the division's bits, NaN payloads included.
    const float reciprocal = 1.0f / divisor;
    for (size_t i = 0; i < n; ++i) out[i] *= reciprocal;
  } else {
    for (size_t i = 0; i < n; ++i) out[i] /= divisor;
  }
}

}  // namespace qztap
