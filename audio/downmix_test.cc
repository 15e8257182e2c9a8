#include "audio/downmix.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

namespace qztap {
namespace {

std::vector<uint32_t> bitsOfDownmix(const std::vector<std::vector<float>>& channels, int64_t n) {
  std::vector<const float*> pointers;
  for (const std::vector<float>& channel : channels) pointers.push_back(channel.data());
  std::vector<float> mono;
  downmix(pointers, n, mono);
  std::vector<uint32_t> bits;
  for (float sample : mono) bits.push_back(std::bit_cast<uint32_t>(sample));
  return bits;
}

uint32_t bitsOf(float value) { return std::bit_cast<uint32_t>(value); }

TEST(Downmix, AveragesInListOrderWithARealDivision) {
  const float justAboveOne = std::bit_cast<float>(0x3f800002u);
  const float big = 3.0e38f;
  struct Case {
    const char* name;
    std::vector<std::vector<float>> channels;
    int64_t frames;
    std::vector<uint32_t> expected;
  };
  const Case cases[] = {
      {"two channels", {{1, 2}, {3, 6}}, 2, {bitsOf(2), bitsOf(4)}},
      {"three ones", {{1}, {1}, {1}}, 1, {bitsOf(1)}},
      // x / 3 and x * (1 / 3) differ here: 0x3eaaaaad against 0x3eaaaaae.
      {"division, not a reciprocal", {{justAboveOne}, {0}, {0}}, 1, {0x3eaaaaadu}},
      // The sum starts at +0, so negative zeros average to +0.
      {"negative zeros", {{-0.0f}, {-0.0f}}, 1, {bitsOf(0.0f)}},
      // Summed in list order: (big + big) overflows before -big could cancel it.
      {"list order", {{big}, {big}, {-big}}, 1, {bitsOf(std::numeric_limits<float>::infinity())}},
      {"frames beyond the count are not read", {{1, 2, 99}, {3, 4}}, 2, {bitsOf(2), bitsOf(3)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(bitsOfDownmix(c.channels, c.frames), c.expected);
  }
}

}  // namespace
}  // namespace qztap
