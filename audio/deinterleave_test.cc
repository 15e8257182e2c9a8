#include "audio/deinterleave.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstdint>
#include <vector>

namespace qztap {
namespace {

// Every sample a signalling NaN whose payload names its frame and channel, so that only
// a copy bit for bit, from the right place, passes; nothing is written past the planes.
TEST(Deinterleave, EachChannelBecomesAPlaneBitForBit) {
  const auto bitsOf = [](size_t frame, size_t channel) {
    return static_cast<uint32_t>(0x7f800001u + frame * 8 + channel);
  };
  for (size_t channels : {1, 2, 6}) {
    for (size_t frames : {0, 1, 1000}) {
      SCOPED_TRACE(testing::Message() << channels << " channels, " << frames << " frames");
      std::vector<float> interleaved(frames * channels);
      for (size_t i = 0; i < interleaved.size(); ++i) {
        interleaved[i] = std::bit_cast<float>(bitsOf(i / channels, i % channels));
      }
      std::vector<float> planes(frames * channels + 1, 1.5f);
      std::vector<AudioEntry> entries;
      deinterleave(interleaved.data(), frames, channels, planes.data(), entries);
      ASSERT_EQ(entries.size(), channels);
      for (size_t channel = 0; channel < channels; ++channel) {
        EXPECT_EQ(entries[channel].data, planes.data() + channel * frames);
        EXPECT_EQ(entries[channel].byteSize, frames * sizeof(float));
        for (size_t frame = 0; frame < frames; ++frame) {
          const float sample = planes[channel * frames + frame];
          ASSERT_EQ(std::bit_cast<uint32_t>(sample), bitsOf(frame, channel)) << frame;
        }
      }
      EXPECT_EQ(planes.back(), 1.5f);
    }
  }
}

}  // namespace
}  // namespace qztap
