#pragma once

#include <cstddef>
#include <vector>

#include "audio/buffer_handler.h"

namespace qztap {

// Takes `frameCount` frames of `channels` interleaved 32-bit floats apart, bit for bit,
// into one plane per channel laid end to end from `planes` (room for frameCount *
// channels samples), and appends an entry for each plane to `entries`, in channel order.
void deinterleave(const float* frames, size_t frameCount, size_t channels, float* planes,
                  std::vector<AudioEntry>& entries);

}  // namespace qztap
