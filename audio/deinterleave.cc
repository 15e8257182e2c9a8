#include "audio/deinterleave.h"

namespace qztap {

void deinterleave(const float* frames, size_t frameCount, size_t channels, float* planes,
                  std::vector<AudioEntry>& entries) {
  for (size_t channel = 0; channel < channels; ++channel) {
    float* plane = planes + channel * frameCount;
    for (size_t frame = 0; frame < frameCount; ++frame) {
      plane[frame] = frames[frame * channels + channel];
    }
    entries.push_back(AudioEntry{plane, static_cast<uint32_t>(frameCount * sizeof(float))});
  }
}

}  // namespace qztap
