#include "capture/silence_timeline.h"

#include <gtest/gtest.h>

namespace qztap {
namespace {

constexpr int64_t SECOND = 10'000'000;

// Silence is filled up to the tolerance behind the clock, gaps before a packet only
// beyond it, and the timeline carries on where it stood when the rate changes.
TEST(SilenceTimeline, FillsWhatTheClockPassedAndNoMore) {
  SilenceTimeline timeline(5 * SECOND, 48000);
  EXPECT_EQ(timeline.silenceUntil(5 * SECOND + SilenceTimeline::TOLERANCE), 0u);
  EXPECT_EQ(timeline.silenceUntil(6 * SECOND + SilenceTimeline::TOLERANCE), 48000u);
  timeline.advance(48000);
  EXPECT_EQ(timeline.silenceBefore(6 * SECOND + SilenceTimeline::TOLERANCE), 0u);
  EXPECT_EQ(timeline.silenceBefore(6 * SECOND + SECOND / 2), 24000u);
  EXPECT_EQ(timeline.silenceBefore(5 * SECOND), 0u);  // a packet from before the end
  timeline.advance(24000);
  timeline.changeRate(44100);
  EXPECT_EQ(timeline.silenceUntil(7 * SECOND + SECOND / 2 + SilenceTimeline::TOLERANCE), 44100u);
  timeline.advance(44100ull * 86400 * 365);  // a year of frames: no overflow
  EXPECT_EQ(
      timeline.silenceUntil((365 * 86400 + 7) * SECOND + SECOND / 2 + SilenceTimeline::TOLERANCE),
      44100u);
}

}  // namespace
}  // namespace qztap
