#pragma once

#include <cstdint>

namespace qztap {

// Keeps a capture's output in step with the clock when its buffers stop coming: a
// Windows loopback stream whose engine or sound server stalls (the capture keeps the
// engine going with a silent stream of its own), or ScreenCaptureKit, which delivers
// nothing while nothing plays. The time skipped is delivered as zeros, so that a
// reader can tell time by counting samples and every silence still writes to it.
// Times are in 100-nanosecond units of the clock that stamps the buffers: Windows'
// performance counter, or the stream's synchronisation clock on macOS. Whether that
// clock counts time asleep differs: a sleep is never filled either way. Only the
// delivery thread uses it.
class SilenceTimeline {
 public:
  static constexpr int64_t TICKS_PER_SECOND = 10'000'000;

  // Gaps up to this long are left alone: packets come a period or two apart, their
  // times jitter, and a sound server under load delivers late; zeros put into a late
  // but unbroken stream would cut the audio apart. Also how far behind the clock the
  // zeros run while nothing comes, so that a late packet still finds its place free.
  static constexpr int64_t TOLERANCE = 2'000'000;  // 200 ms

  // The clock is read every 50 ms or oftener: a jump past this is a sleep, not a silence.
  static constexpr int64_t SLEEP_GAP = 50'000'000;  // 5 s

  // Starts the timeline at `now` with frames at `rate`.
  SilenceTimeline(int64_t now, uint32_t rate) : anchor(now), lastLook(now), frameRate(rate) {}

  // Each time the clock is read, before the silence at `now` is asked for: after a jump
  // past SLEEP_GAP since the last reading (the machine slept, or the process was
  // stopped) the timeline starts afresh at `now`. Filled, an hour would be 230 MB of
  // zeros at once, more than the output keeps for a reader that reads at its own pace.
  void lookAt(int64_t now);

  // Frames of zeros to deliver before a packet whose first frame was captured at
  // `packetTime`: the gap since the end of what was delivered, if longer than the
  // tolerance. A packet that starts before that end is delivered whole all the same.
  uint64_t silenceBefore(int64_t packetTime) const;

  // The same for a packet that ends a silence whose zeros are under way: the whole gap,
  // however short, since the zeros ran the tolerance behind the clock.
  uint64_t silenceEndingAt(int64_t packetTime) const { return framesIn(packetTime - end()); }

  // Frames of zeros due at `now` when no packet came: up to the tolerance behind it.
  uint64_t silenceUntil(int64_t now) const;

  // Records that `frames` frames (packets or zeros) were delivered.
  void advance(uint64_t frames) { delivered += frames; }

  // Continues at another rate (another device) from where the timeline stands.
  void changeRate(uint32_t rate);

 private:
  int64_t end() const;  // the time just after the last frame delivered
  uint64_t framesIn(int64_t duration) const;

  int64_t anchor;
  int64_t lastLook;  // when the clock was last read
  uint32_t frameRate;
  uint64_t delivered = 0;  // frames since the anchor
};

}  // namespace qztap
