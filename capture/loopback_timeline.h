#pragma once

#include <cstdint>

namespace qztap {

// Keeps the loopback capture's output in step with the clock. A loopback stream sends
// no packets while nothing plays; the time it skips is delivered as zeros, so that a
// reader can tell time by counting samples and every silence still writes to it.
// Times are in 100-nanosecond units of the performance counter, as packets carry them.
// Only the capture thread uses it.
class LoopbackTimeline {
 public:
  // Gaps up to this long are left alone: packets arrive a period or two apart and
  // their times jitter. Also how far behind the clock the zeros run in a silence,
  // so that a packet arriving late finds its place still free.
  static constexpr int64_t TOLERANCE = 300'000;  // 30 ms

  // Starts the timeline at `now` with frames at `rate`.
  LoopbackTimeline(int64_t now, uint32_t rate) : anchor(now), frameRate(rate) {}

  // Frames of zeros to deliver before a packet whose first frame was captured at
  // `packetTime`: the gap since the end of what was delivered, if longer than the
  // tolerance. A packet that starts before that end is delivered whole all the same.
  uint64_t silenceBefore(int64_t packetTime) const;

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
  uint32_t frameRate;
  uint64_t delivered = 0;  // frames since the anchor
};

}  // namespace qztap
