#include "audio/buffer_handler.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "audio/downmix.h"

namespace qztap {

double sourceRateOf(double streamRate) {
  return std::isfinite(streamRate) && streamRate > 0.0 ? streamRate : 48000.0;
}

void SampleBufferHandler::handle(double streamRate, std::span<const AudioEntry> entries) {
  const double sourceRate = sourceRateOf(streamRate);

  channels.clear();
  int64_t frameCount = std::numeric_limits<int64_t>::max();
  for (const AudioEntry& entry : entries) {
    if (entry.data == nullptr) continue;
    channels.push_back(static_cast<const float*>(entry.data));
    // Bytes of an incomplete last sample are ignored.
    frameCount = std::min<int64_t>(frameCount, entry.byteSize >> 2);
  }
  if (channels.empty() || frameCount < 1) return;
  if (sourceRate > MAX_SOURCE_RATE) return;
  if (!(expectedOutputCount(frameCount, sourceRate) <= MAX_BLOCK_SAMPLES)) return;

  downmix(channels, frameCount, mono);
  resample(mono, sourceRate, resampler, output);
  backlog.write(output);
}

}  // namespace qztap
