#include "capture/silence_timeline.h"

namespace qztap {

int64_t SilenceTimeline::end() const {
  // Whole seconds and the rest apart, so that days of frames cannot overflow.
  const auto seconds = static_cast<int64_t>(delivered / frameRate);
  const auto rest = static_cast<int64_t>(delivered % frameRate);
  return anchor + seconds * TICKS_PER_SECOND + rest * TICKS_PER_SECOND / frameRate;
}

uint64_t SilenceTimeline::framesIn(int64_t duration) const {
  if (duration <= 0) return 0;
  const auto ticks = static_cast<uint64_t>(duration);
  return ticks / TICKS_PER_SECOND * frameRate +
         ticks % TICKS_PER_SECOND * frameRate / TICKS_PER_SECOND;
}

void SilenceTimeline::lookAt(int64_t now) {
  if (now - lastLook > SLEEP_GAP) {
    anchor = now;
    delivered = 0;
  }
  lastLook = now;
}

uint64_t SilenceTimeline::silenceBefore(int64_t packetTime) const {
  const int64_t gap = packetTime - end();
  return gap > TOLERANCE ? framesIn(gap) : 0;
}

uint64_t SilenceTimeline::silenceUntil(int64_t now) const {
  return framesIn(now - TOLERANCE - end());
}

void SilenceTimeline::changeRate(uint32_t rate) {
  anchor = end();
  delivered = 0;
  frameRate = rate;
}

}  // namespace qztap
