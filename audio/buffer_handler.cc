#include "audio/buffer_handler.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "audio/downmix.h"

namespace qztap {

double sourceRateOf(double streamRate) {
  return std::isfinite(streamRate) && streamRate > 0.0 ? streamRate : 48000.0;
}

int64_t frameCountOf(std::span<const AudioEntry> entries) {
  int64_t frameCount = std::numeric_limits<int64_t>::max();
  for (const AudioEntry& entry : entries) {
    // Bytes of an incomplete last sample are ignored.
    if (entry.data != nullptr) frameCount = std::min<int64_t>(frameCount, entry.byteSize >> 2);
  }
  return frameCount == std::numeric_limits<int64_t>::max() ? 0 : frameCount;
}

void SampleBufferHandler::handle(double streamRate, std::span<const AudioEntry> entries) {
  const double sourceRate = sourceRateOf(streamRate);

  const int64_t frameCount = frameCountOf(entries);
  if (frameCount < 1) return;
  channels.clear();
  for (const AudioEntry& entry : entries) {
    if (entry.data != nullptr) channels.push_back(static_cast<const float*>(entry.data));
  }
  if (sourceRate > MAX_SOURCE_RATE) return;
  if (!(expectedOutputCount(frameCount, sourceRate) <= MAX_BLOCK_SAMPLES)) return;

  downmix(channels, frameCount, mono);
  resample(mono, sourceRate, resampler, output);
  backlog.write(output);
}

}  // namespace qztap
