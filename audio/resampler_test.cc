#include "audio/resampler.h"

#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>

#include "audio/downmix.h"

namespace qztap {
namespace {

std::vector<float> ramp(float first, size_t count) {
  std::vector<float> samples(count);
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

std::vector<float> resampled(const std::vector<float>& mono, double rate, ResamplerState& state) {
  std::vector<float> output;
  resample(mono, rate, state, output);
  return output;
}

TEST(Resampler, CarriesPositionAndSampleAcrossBuffers) {
  struct Expected {
    size_t count;
    float first, second, last;
    double position;
    float carry;
  };
  // A ramp 0, 1, 2, ... in three 1024-frame buffers at 48 kHz.
  const Expected buffers[] = {
      {342, 0, 2, 1022, 2.0, 1023},
      {341, 1025, 1028, 2045, 1.0, 2047},
      {341, 2048, 2051, 3068, 0.0, 3071},
  };
  ResamplerState state;
  for (size_t b = 0; b < 3; ++b) {
    SCOPED_TRACE(b);
    const std::vector<float> out = resampled(ramp(1024.0f * static_cast<float>(b), 1024), 48000, state);
    ASSERT_EQ(out.size(), buffers[b].count);
    EXPECT_EQ(out[0], buffers[b].first);
    EXPECT_EQ(out[1], buffers[b].second);
    EXPECT_EQ(out.back(), buffers[b].last);
    EXPECT_EQ(state.resampPos, buffers[b].position);
    EXPECT_EQ(state.carry, buffers[b].carry);
    EXPECT_TRUE(state.haveCarry);
  }
}

TEST(Resampler, SmallBuffersAndEqualRates) {
  ResamplerState state;
  // Equal rates: the output lags the input by one sample, the first standing in for it.
  EXPECT_EQ(resampled({1, 2, 3}, 16000, state), (std::vector<float>{1, 1, 2}));
  EXPECT_EQ(state.resampPos, 0.0);
  EXPECT_EQ(state.carry, 3.0f);
  EXPECT_EQ(resampled({4, 5}, 16000, state), (std::vector<float>{3, 4}));

  // A buffer that ends before the position yields nothing but still moves on.
  state = {2.5, 7.0f, true};
  EXPECT_TRUE(resampled({9, 11}, 48000, state).empty());
  EXPECT_EQ(state.resampPos, 0.5);
  EXPECT_EQ(state.carry, 11.0f);

  // A one-frame buffer reads only the carried sample.
  state = {0.0, 7.0f, true};
  EXPECT_EQ(resampled({9}, 48000, state), (std::vector<float>{7}));
  EXPECT_EQ(state.resampPos, 2.0);
  EXPECT_EQ(state.carry, 9.0f);
}

TEST(Resampler, InterpolatesFractionalPositionsWithoutFusedMultiplyAdd) {
  ResamplerState state;
  const std::vector<float> out = resampled(ramp(0, 8), 44100, state);
  ASSERT_GE(out.size(), 2u);
  EXPECT_EQ(out[0], 0.0f);
  EXPECT_EQ(out[1], static_cast<float>(1.75625));

  // At position 2.75625, a = 1 and b = 0x3f8ccd03: the three rounded operations
  // give 0x3f89ae3e where a fused multiply-add would give 0x3f89ae3d.
  const float a = 1.0f;
  const auto b = std::bit_cast<float>(0x3f8ccd03u);
  const auto t = static_cast<float>(0.75625);
  ASSERT_NE(std::bit_cast<uint32_t>(std::fma(b - a, t, a)), 0x3f89ae3eu);
  state = {};
  const std::vector<float> edge = resampled({0.0f, a, b}, 44100, state);
  ASSERT_EQ(edge.size(), 2u);
  EXPECT_EQ(std::bit_cast<uint32_t>(edge[1]), 0x3f89ae3eu);
}

TEST(Resampler, OutputDoesNotDependOnWhereTheInputIsCut) {
  std::mt19937 random(7);
  std::uniform_real_distribution<float> sample(-1.0f, 1.0f);
  std::vector<float> signal(20000);
  for (float& s : signal) s = sample(random);

  ResamplerState whole;
  const std::vector<float> expected = resampled(signal, 48000, whole);
  for (int trial = 0; trial < 20; ++trial) {
    ResamplerState pieces;
    std::vector<float> joined;
    size_t at = 0;
    while (at < signal.size()) {
      const size_t length = std::min(signal.size() - at, 1 + random() % 3000);
      const std::vector<float> piece(signal.begin() + at, signal.begin() + at + length);
      const std::vector<float> out = resampled(piece, 48000, pieces);
      joined.insert(joined.end(), out.begin(), out.end());
      at += length;
    }
    ASSERT_EQ(joined, expected) << "trial " << trial;
    EXPECT_EQ(pieces.resampPos, whole.resampPos);
  }
}

// The conversion as plainly as it can be written, frame by frame, for comparison.
std::vector<float> referenceConversion(const std::vector<std::vector<float>>& channels, size_t n,
                                       double rate, ResamplerState& state) {
  std::vector<float> mono;
  const auto divisor = static_cast<float>(channels.size());
  for (size_t i = 0; i < n; ++i) {
    float sum = 0.0f;
    for (const std::vector<float>& channel : channels) sum = sum + channel[i];
    mono.push_back(sum / divisor);
  }
  const double ratio = rate / 16000.0;
  std::vector<float> out;
  const float previous = state.haveCarry ? state.carry : mono[0];
  double pos = state.resampPos;
  while (pos < static_cast<double>(n)) {
    const auto i = static_cast<int64_t>(pos);
    const float a = i == 0 ? previous : mono[static_cast<size_t>(i - 1)];
    const float b = mono[static_cast<size_t>(i)];
    const auto t = static_cast<float>(pos - static_cast<double>(i));
    volatile float difference = b - a;  // volatile: each operation rounded on its own
    volatile float product = difference * t;
    out.push_back(a + product);
    pos = pos + ratio;
  }
  state = {pos - static_cast<double>(n), mono[n - 1], true};
  return out;
}

TEST(Resampler, MatchesAPlainReferenceBitForBit) {
  std::mt19937 random(2024);
  const float specials[] = {std::numeric_limits<float>::quiet_NaN(),
                            std::numeric_limits<float>::infinity(),
                            -std::numeric_limits<float>::infinity(),
                            -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            std::numeric_limits<float>::max()};
  for (int sequence = 0; sequence < 40; ++sequence) {
    ResamplerState ours;
    ResamplerState theirs;
    for (int buffer = 0; buffer < 25; ++buffer) {
      const size_t n = 1 + random() % 4096;
      const size_t channelCount = 1 + random() % 8;
      // 48 kHz often, with its whole steps, and any rate in between to mix positions.
      const double rate =
          random() % 2 == 0 ? 48000.0 : 8000.0 + static_cast<double>(random() % 184001);
      std::vector<std::vector<float>> channels(channelCount, std::vector<float>(n));
      for (std::vector<float>& channel : channels) {
        for (float& s : channel) {
          s = random() % 500 == 0 ? specials[random() % 6]
                                  : std::ldexp(static_cast<float>(random() % 2000000) - 1e6f, -20);
        }
      }
      std::vector<const float*> pointers;
      for (const std::vector<float>& channel : channels) pointers.push_back(channel.data());

      std::vector<float> mono;
      std::vector<float> out;
      downmix(pointers, static_cast<int64_t>(n), mono);
      resample(mono, rate, ours, out);
      const std::vector<float> expected = referenceConversion(channels, n, rate, theirs);

      ASSERT_EQ(out.size(), expected.size()) << sequence << "/" << buffer;
      for (size_t i = 0; i < out.size(); ++i) {
        ASSERT_EQ(std::bit_cast<uint32_t>(out[i]), std::bit_cast<uint32_t>(expected[i]))
            << sequence << "/" << buffer << " sample " << i;
      }
      ASSERT_EQ(std::bit_cast<uint64_t>(ours.resampPos), std::bit_cast<uint64_t>(theirs.resampPos));
      ASSERT_EQ(std::bit_cast<uint32_t>(ours.carry), std::bit_cast<uint32_t>(theirs.carry));
    }
  }
}

}  // namespace
}  // namespace qztap
