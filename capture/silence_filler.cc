#include "capture/silence_filler.h"

#include <algorithm>
#include <cmath>

namespace qztap {
namespace {

// The whole frame rate of a buffer's stream rate, as its conversion takes it.
uint32_t wholeRateOf(double streamRate) {
  return static_cast<uint32_t>(
      std::max(1L, std::lround(std::min(sourceRateOf(streamRate), MAX_SOURCE_RATE))));
}

}  // namespace

void SilenceFiller::start(int64_t now) { timeline.emplace(now, frameRate); }

void SilenceFiller::bufferComing(std::optional<int64_t> captureTime, int64_t now) {
  if (!timeline) return;
  timeline->lookAt(now);
  if (captureTime && *captureTime <= now) {
    deliverSilence(filling ? timeline->silenceEndingAt(*captureTime)
                           : timeline->silenceBefore(*captureTime));
  }
}

void SilenceFiller::didOutputBuffer(StreamOutputType type, double streamRate,
                                    std::span<const AudioEntry> entries) {
  output.didOutputBuffer(type, streamRate, entries);
  filling = false;
  changeRate(wholeRateOf(streamRate));
  if (timeline) timeline->advance(static_cast<uint64_t>(frameCountOf(entries)));
}

void SilenceFiller::clockTick(int64_t now) {
  if (!timeline) return;
  timeline->lookAt(now);
  const uint64_t frames = timeline->silenceUntil(now);
  deliverSilence(frames);
  filling = filling || frames > 0;
}

void SilenceFiller::silentBuffer(uint64_t frames) {
  deliverSilence(frames);
  filling = false;
}

void SilenceFiller::changeRate(uint32_t rate) {
  if (rate == frameRate) return;
  frameRate = rate;
  if (timeline) timeline->changeRate(rate);
}

// Mono zeros, in blocks of at most a tenth of a second: the down-mix makes zeros of
// any channel count the same samples.
void SilenceFiller::deliverSilence(uint64_t frames) {
  const uint64_t block = std::max<uint64_t>(frameRate / 10, 1);
  while (frames > 0) {
    const uint64_t count = std::min(frames, block);
    zeros.assign(count, 0.0f);
    const AudioEntry mono{zeros.data(), static_cast<uint32_t>(count * sizeof(float))};
    output.didOutputBuffer(StreamOutputType::Audio, frameRate, {&mono, 1});
    if (timeline) timeline->advance(count);
    frames -= count;
  }
}

}  // namespace qztap
