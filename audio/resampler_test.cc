#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <random>

#include "audio/downmix.h"

namespace qztap {
namespace {

// The conversion as plainly as it can be written, frame by frame, for comparison.
std::vector<float> referenceConversion(const std::vector<std::vector<float>>& channels, size_t n,
                                       double rate, ResamplerState& state) {
  std::vector<float> mono;
  for (size_t i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (const std::vector<float>& channel : channels) sum = sum + channel[i];
    mono.push_back(sum / static_cast<float>(channels.size()));
  }
  std::vector<float> out;
  const float previous = state.haveCarry ? state.carry : mono[0];
  double pos = state.resampPos;
  for (; pos < static_cast<double>(n); pos = pos + rate / 16000.0) {
    const auto i = static_cast<size_t>(pos);
    const float a = i == 0 ? previous : mono[i - 1];
    const auto t = static_cast<float>(pos - static_cast<double>(i));
    volatile float difference = mono[i] - a;  // volatile: each operation rounded on its own
    volatile float product = difference * t;
    out.push_back(a + product);
  }
  state = {pos - static_cast<double>(n), mono[n - 1], true};
  return out;
}

// Buffer after buffer with the state carried, 48 kHz (whole positions) half of the
// time and any rate otherwise, one to eight channels of full-precision values whose
// sums round, and now and then a frame of NaN, infinity, negative zero, subnormal or
// largest float in every channel.
TEST(Resampler, MatchesAPlainReferenceBitForBit) {
  std::mt19937 random(2024);
  std::uniform_real_distribution<float> unit(-1.0f, 1.0f);
  const float specials[] = {NAN, INFINITY, -INFINITY, -0.0f, FLT_TRUE_MIN, FLT_MAX};
  for (int sequence = 0; sequence < 40; ++sequence) {
    ResamplerState ours;
    ResamplerState theirs;
    for (int buffer = 0; buffer < 25; ++buffer) {
      SCOPED_TRACE(::testing::Message() << "sequence " << sequence << ", buffer " << buffer);
      // Buffers of a few frames often, where the position can lie past the end.
      const size_t n = 1 + random() % (random() % 4 == 0 ? 4 : 4096);
      const double rate =
          random() % 2 == 0 ? 48000.0 : 8000.0 + static_cast<double>(random() % 184001);
      std::vector<std::vector<float>> channels(1 + random() % 8, std::vector<float>(n));
      for (size_t i = 0; i < n; ++i) {
        const bool special = random() % 300 == 0;  // then in every channel alike
        const float value = specials[random() % 6];
        for (std::vector<float>& channel : channels) {
          channel[i] = special ? value : std::ldexp(unit(random), static_cast<int>(random() % 9));
        }
      }
      std::vector<const float*> pointers;
      for (const std::vector<float>& channel : channels) pointers.push_back(channel.data());
      std::vector<float> mono;
      std::vector<float> out;
      downmix(pointers, static_cast<int64_t>(n), mono);
      resample(mono, rate, ours, out);
      const std::vector<float> expected = referenceConversion(channels, n, rate, theirs);
      ASSERT_EQ(out.size(), expected.size());
      for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(expected[i])) << i;
      }
      ASSERT_EQ(std::bit_cast<uint64_t>(ours.resampPos), std::bit_cast<uint64_t>(theirs.resampPos));
      ASSERT_EQ(std::bit_cast<uint32_t>(ours.carry), std::bit_cast<uint32_t>(theirs.carry));
      ASSERT_EQ(ours.haveCarry, theirs.haveCarry);
    }
  }
}

// At position 2.75625 (44.1 kHz), between a = 1 and b = 0x3f8ccd03, the three rounded
// operations give 0x3f89ae3e where a fused multiply-add would give 0x3f89ae3d.
TEST(Resampler, InterpolatesWithoutFusedMultiplyAdd) {
  const auto b = std::bit_cast<float>(0x3f8ccd03u);
  ASSERT_NE(std::bit_cast<uint32_t>(std::fma(b - 1.0f, static_cast<float>(0.75625), 1.0f)),
            0x3f89ae3eu);
  ResamplerState state;
  std::vector<float> out;
  resample(std::vector<float>{0.0f, 1.0f, b}, 44100, state, out);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(std::bit_cast<uint32_t>(out[1]), 0x3f89ae3eu);
}

}  // namespace
}  // namespace qztap
