#include "audio/downmix.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <limits>
#include <vector>

namespace qztap {
namespace {

TEST(Downmix, AveragesInListOrderWithARealDivision) {
  const float big = 3.0e38f;
  struct Case {
    const char* name;
    std::vector<std::vector<float>> channels;
    int64_t frames;
    std::vector<float> expected;
  };
  const Case cases[] = {
      {"two channels", {{1, 2}, {3, 6}}, 2, {2, 4}},
      {"three ones", {{1}, {1}, {1}}, 1, {1}},
      // x / 3 and x * (1 / 3) differ here: 0x3eaaaaad against 0x3eaaaaae.
      {"division, not a reciprocal",
       {{std::bit_cast<float>(0x3f800002u)}, {0}, {0}},
       1,
       {std::bit_cast<float>(0x3eaaaaadu)}},
      // The sum starts at +0, so negative zeros average to +0.
      {"negative zeros", {{-0.0f}, {-0.0f}}, 1, {0.0f}},
      {"a negative zero alone", {{-0.0f}}, 1, {0.0f}},
      // Summed in list order: (big + big) overflows before -big could cancel it.
      {"list order", {{big}, {big}, {-big}}, 1, {std::numeric_limits<float>::infinity()}},
      {"frames beyond the count are not read", {{1, 2, 99}, {3, 4}}, 2, {2, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<const float*> pointers;
    for (const std::vector<float>& channel : c.channels) pointers.push_back(channel.data());
    std::vector<float> mono;
    downmix(pointers, c.frames, mono);
    ASSERT_EQ(mono.size(), c.expected.size());
    for (size_t i = 0; i < mono.size(); ++i) {
      EXPECT_EQ(std::bit_cast<uint32_t>(mono[i]), std::bit_cast<uint32_t>(c.expected[i]));
    }
  }
}

}  // namespace
}  // namespace qztap
