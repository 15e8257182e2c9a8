#include "capture/silence_filler.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

namespace qztap {
namespace {

constexpr int64_t MS = 10'000;  // timeline units in a millisecond
constexpr int64_t HOUR = 3'600'000 * MS;
constexpr int64_t TOLERANCE = SilenceTimeline::TOLERANCE;

// Counts the frames of zeros and of audio that reach the output.
struct CountingOutput final : StreamOutput {
  void didOutputBuffer(StreamOutputType, double streamRate,
                       std::span<const AudioEntry> entries) override {
    const auto* first = static_cast<const float*>(entries[0].data);
    const int64_t frames = frameCountOf(entries);
    (std::all_of(first, first + frames, [](float s) { return s == 0.0f; }) ? zeros : audio) +=
        frames;
    rate = streamRate;
  }
  int64_t zeros = 0;
  int64_t audio = 0;
  double rate = 0;
};

// Each step is a tick of the clock or a buffer of 960 stereo frames of sound (or marked
// silent), and the zeros that must have reached the output once it is done: each
// silence is filled once, from the end of what was delivered, and every buffer whole;
// a jump of the clock that no tick saw is a sleep, left unfilled, after which all goes
// on in step.
TEST(SilenceFiller, FillsEachSilenceOnceAndPassesEveryBufferWhole) {
  enum Kind { START, TICK, BUFFER, SILENT };
  struct Step {
    const char* what;
    Kind kind;
    int64_t now;
    int64_t zeros;
    int64_t captureTime = 0;  // of a buffer's first frame
    double rate = 48000;
  };
  const Step steps[] = {
      {"not started: no tick fills", TICK, 9000 * MS, 0},
      {"not started: a buffer passes", BUFFER, 10 * MS, 0},
      {"started at 1 s", START, 1000 * MS, 0},
      {"a gap within the tolerance", TICK, 1000 * MS + TOLERANCE, 0},
      {"the clock past it", TICK, 1100 * MS + TOLERANCE, 4800},
      {"the same tick again", TICK, 1100 * MS + TOLERANCE, 4800},
      {"a buffer after a gap beyond the tolerance", BUFFER, 1510 * MS, 24000, 1500 * MS},
      {"the next buffer, on time", BUFFER, 1530 * MS, 24000, 1520 * MS},
      {"a late buffer, from before the end", BUFFER, 1540 * MS, 24000, 1500 * MS},
      {"a buffer stamped after the clock", BUFFER, 1560 * MS, 24000, 5000 * MS},
      {"a buffer at another rate", BUFFER, 1590 * MS, 24000, 1580 * MS, 44100},
      {"a second later, at that rate", TICK, 2580 * MS + TOLERANCE, 24000 + 44100 - 960},
      {"a buffer ending that silence: all its gap", BUFFER, 2700 * MS, 71550, 2680 * MS, 44100},
      {"a buffer marked silent", SILENT, 2590 * MS + TOLERANCE, 72510, 2580 * MS},
      {"no tick fills its time again", TICK, 2600 * MS + TOLERANCE, 72510},
      {"an hour later: a sleep", TICK, HOUR + 2580 * MS + TOLERANCE, 72510},
      {"a buffer just after it, in step", BUFFER, HOUR + 2600 * MS, 72510, HOUR + 2590 * MS, 44100},
      {"a second on", TICK, HOUR + 3580 * MS + 2 * TOLERANCE, 72510 + 44100 - 960},
      {"a buffer an hour on, no tick between", BUFFER, 2 * HOUR, 115650, 2 * HOUR - 10 * MS, 44100},
      {"a second on again", TICK, 2 * HOUR + 1000 * MS + TOLERANCE, 115650 + 44100 - 960},
  };
  CountingOutput output;
  SilenceFiller filler(output, 48000);
  const std::vector<float> sound(2 * 960, 0.5f);
  const AudioEntry stereo[] = {{sound.data(), 960 * sizeof(float)},
                               {sound.data() + 960, 960 * sizeof(float)}};
  int64_t audio = 0;
  for (const Step& step : steps) {
    SCOPED_TRACE(step.what);
    if (step.kind == START) filler.start(step.now);
    if (step.kind == TICK) filler.clockTick(step.now);
    if (step.kind == BUFFER || step.kind == SILENT) filler.bufferComing(step.captureTime, step.now);
    if (step.kind == SILENT) filler.silentBuffer(960);
    if (step.kind == BUFFER) {
      filler.didOutputBuffer(StreamOutputType::Audio, step.rate, stereo);
      audio += 960;
    }
    EXPECT_EQ(output.zeros, step.zeros);
    EXPECT_EQ(output.audio, audio);
  }
  EXPECT_EQ(output.rate, 44100);
}

// A minute of silence ticked every 50 ms, as the Mac's queue ticks, is a minute of
// zeros once a buffer ends it; no tick is taken for a sleep, and no fill runs ahead
// of the clock.
TEST(SilenceFiller, AMinuteOfTicksIsAMinuteOfZeros) {
  CountingOutput output;
  SilenceFiller filler(output, 48000);
  const int64_t start = HOUR;
  filler.start(start);
  for (int64_t now = start; now < start + 60'000 * MS; now += 50 * MS) {
    filler.clockTick(now);
    ASSERT_LE(output.zeros * 1000 * MS, std::max<int64_t>(now - start - TOLERANCE, 0) * 48000);
  }
  const float sound[960] = {0.5f};
  const AudioEntry mono = {sound, sizeof sound};
  filler.bufferComing(start + 60'000 * MS, start + 60'010 * MS);
  filler.didOutputBuffer(StreamOutputType::Audio, 48000, {&mono, 1});
  EXPECT_EQ(output.zeros, 60 * 48000);
}

}  // namespace
}  // namespace qztap
