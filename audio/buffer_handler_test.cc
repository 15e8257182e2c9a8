#include "audio/buffer_handler.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <random>

#include "audio/downmix.h"

namespace qztap {
namespace {

std::vector<float> noise(unsigned seed) {
  std::mt19937 random(seed);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  std::vector<float> samples(1024);
  for (float& s : samples) s = sample(random);
  return samples;
}

// Takes every write at once, as a file does.
class MemoryOutput final : public OutputSink {
 public:
  size_t writeWithoutWaiting(std::span<const std::byte> bytes) override {
    writeAll(bytes);
    return bytes.size();
  }
  void writeAll(std::span<const std::byte> bytes) override {
    const size_t at = written.size();
    written.resize(at + bytes.size() / sizeof(float));
    std::memcpy(written.data() + at, bytes.data(), bytes.size());
  }

  std::vector<float> written;
};

// One buffer after another through one handler. Each is either dropped, leaving no
// trace, or converted exactly as the down-mix and resampler convert the channels and
// frame count given here at the rate given here.
TEST(SampleBufferHandler, TakesTheRightChannelsFramesAndRateOrDropsTheBuffer) {
  const std::vector<float> l = noise(1), r = noise(2), c = noise(3);
  const float* const L = l.data();
  const float* const R = r.data();
  const float* const C = c.data();
  constexpr double inf = std::numeric_limits<double>::infinity();
  constexpr double dropped = 0;
  // The rate at which 1024 frames make exactly the largest block.
  const double largestBlock = 1024 * TARGET_SR / MAX_BLOCK_SAMPLES;
  struct Buffer {
    const char* name;
    double rate;
    std::vector<AudioEntry> entries;
    double convertedAt;  // or `dropped`
    std::vector<const float*> channels;
    int64_t frames;
  };
  const Buffer buffers[] = {
      {"stereo", 48000, {{L, 4096}, {R, 4096}}, 48000, {L, R}, 1024},
      {"the shorter entry decides",
       44100,
       {{L, 4096}, {R, 4000}, {C, 4096}},
       44100,
       {L, R, C},
       1000},
      {"no entries", 48000, {}, dropped, {}, 0},
      {"NaN", std::nan(""), {{C, 4096}, {L, 4096}}, 48000, {C, L}, 1024},
      {"no entry with data", 48000, {{nullptr, 4096}, {nullptr, 8}}, dropped, {}, 0},
      {"+inf", inf, {{L, 4096}}, 48000, {L}, 1024},
      {"an entry smaller than a sample", 48000, {{L, 4096}, {R, 3}}, dropped, {}, 0},
      {"-inf", -inf, {{R, 4096}}, 48000, {R}, 1024},
      {"an empty entry", 44100, {{L, 0}}, dropped, {}, 0},
      {"0", 0, {{L, 4096}, {nullptr, 4096}, {R, 4096}}, 48000, {L, R}, 1024},
      {"a rate no device has", 2e7, {{L, 4096}}, dropped, {}, 0},
      {"negative", -1, {{C, 4098}}, 48000, {C}, 1024},
      {"the largest finite rate", std::numeric_limits<double>::max(), {{L, 4096}}, dropped, {}, 0},
      {"the highest rate taken", MAX_SOURCE_RATE, {{L, 4096}}, MAX_SOURCE_RATE, {L}, 1024},
      {"more than the largest block",
       std::nextafter(largestBlock, 0.0),
       {{L, 4096}},
       dropped,
       {},
       0},
      {"the smallest positive rate",
       std::numeric_limits<double>::denorm_min(),
       {{L, 4096}},
       dropped,
       {},
       0},
      {"the largest block", largestBlock, {{R, 4096}, {C, 4096}}, largestBlock, {R, C}, 1024},
      {"five channels",
       22050,
       {{L, 4096}, {R, 4096}, {C, 4096}, {R, 4096}, {L, 4096}},
       22050,
       {L, R, C, R, L},
       1024},
  };
  MemoryOutput output;
  OutputBacklog backlog(output, BACKLOG_CAPACITY);
  SampleBufferHandler handler(backlog);
  ResamplerState expectedState;
  std::vector<float> mono, converted, expected;
  for (const Buffer& buffer : buffers) {
    SCOPED_TRACE(buffer.name);
    handler.handle(buffer.rate, buffer.entries);
    if (buffer.convertedAt != dropped) {
      downmix(buffer.channels, buffer.frames, mono);
      resample(mono, buffer.convertedAt, expectedState, converted);
      expected.insert(expected.end(), converted.begin(), converted.end());
    }
    const ResamplerState& state = handler.resamplerState();
    EXPECT_EQ(std::bit_cast<uint64_t>(state.resampPos),
              std::bit_cast<uint64_t>(expectedState.resampPos));
    EXPECT_EQ(std::bit_cast<uint32_t>(state.carry), std::bit_cast<uint32_t>(expectedState.carry));
    EXPECT_EQ(state.haveCarry, expectedState.haveCarry);
    ASSERT_EQ(output.written, expected);
  }
}

}  // namespace
}  // namespace qztap
