#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "capture/capture_service.h"
#include "capture/silence_timeline.h"

namespace qztap {

// Stands between a stream that delivers nothing while nothing plays (ScreenCaptureKit,
// a stalled Windows loopback stream) and its output, and fills each silence with zeros
// by the clock under the rules of SilenceTimeline: zeros only once a gap passes the
// tolerance, none for a sleep, and a buffer that resumes after them takes up where
// they ended, so that nothing is doubled or dropped. Times are in the timeline's units,
// on the clock that stamps the stream's buffers. Every call comes from the delivery
// thread or queue, one at a time; nothing here waits or takes a lock.
class SilenceFiller final : public StreamOutput {
 public:
  // Zeros go to `output` at `rate` until a buffer brings another rate.
  SilenceFiller(StreamOutput& streamOutput, uint32_t rate)
      : output(streamOutput), frameRate(rate) {}

  // The capture runs from `now` on. Until then buffers pass untouched and nothing is filled.
  void start(int64_t now);

  // Before a buffer whose first frame was captured at `captureTime` (when it says) is
  // passed on: zeros for the gap since the end of what was delivered, beyond the
  // tolerance, or all of it once ticks have filled the silence. A capture time later
  // than `now` is not on the clock and is not believed.
  void bufferComing(std::optional<int64_t> captureTime, int64_t now);

  // Passes a buffer on and counts its frames.
  void didOutputBuffer(StreamOutputType type, double streamRate,
                       std::span<const AudioEntry> entries) override;

  // The clock's tick: zeros up to the tolerance behind `now`, if no buffer came.
  void clockTick(int64_t now);

  // A buffer the stream marks silent, whatever its data: passed on as `frames` zeros.
  void silentBuffer(uint64_t frames);

  // Frames come at `rate` from here on (another device's), zeros included.
  void changeRate(uint32_t rate);

 private:
  void deliverSilence(uint64_t frames);

  StreamOutput& output;
  uint32_t frameRate;
  std::optional<SilenceTimeline> timeline;
  bool filling = false;  // a tick has delivered zeros since the last buffer
  std::vector<float> zeros;
};

}  // namespace qztap
