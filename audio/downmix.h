#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace qztap {

// Averages `channels` (at least one, each holding at least `frameCount` samples)
// into `mono`, which is resized to `frameCount`. Per frame the sum starts at +0.0,
// adds the channels in list order with float rounding after each addition, and is
// divided by the channel count as a float division.
void downmix(std::span<const float* const> channels, int64_t frameCount, std::vector<float>& mono);

}  // namespace qztap
