#include "audio/buffer_handler.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <numeric>

namespace qztap {
namespace {

// A handler writing into an in-memory file, and what it has written so far.
class Captured {
 public:
  Captured() : file(std::tmpfile()), fd(::fileno(file)), handler(fd) {}
  ~Captured() { std::fclose(file); }
  Captured(const Captured&) = delete;
  Captured& operator=(const Captured&) = delete;

  std::vector<float> samples() const {
    std::vector<float> out(static_cast<size_t>(::lseek(fd, 0, SEEK_END)) / sizeof(float));
    if (::pread(fd, out.data(), out.size() * sizeof(float), 0) < 0) ADD_FAILURE();
    return out;
  }

  std::FILE* file;
  int fd;
  SampleBufferHandler handler;
};

std::vector<float> ramp(size_t count, float first = 0) {
  std::vector<float> samples(count);
  std::iota(samples.begin(), samples.end(), first);
  return samples;
}

AudioEntry entryOf(const std::vector<float>& samples, uint32_t bytes) {
  return {samples.data(), bytes};
}

TEST(SampleBufferHandler, RatesThatAreNotFiniteAndPositiveMean48kHz) {
  const std::vector<float> channel = ramp(1024);
  const AudioEntry entries[] = {entryOf(channel, 4096)};
  for (double rate : {0.0, -1.0, std::nan(""), std::numeric_limits<double>::infinity(),
                      -std::numeric_limits<double>::infinity()}) {
    SCOPED_TRACE(rate);
    Captured captured;
    captured.handler.handle(rate, entries);
    EXPECT_EQ(captured.samples().size(), 342u);
    EXPECT_EQ(captured.handler.resamplerState().resampPos, 2.0);
    // The next buffer carries on as at 48 kHz, not from a poisoned position.
    captured.handler.handle(rate, entries);
    EXPECT_EQ(captured.samples().size(), 342u + 341u);
  }
}

TEST(SampleBufferHandler, GathersChannelsFromEntriesWithData) {
  const std::vector<float> left = ramp(1024);
  const std::vector<float> right = ramp(1024, 2);
  const std::vector<float> interleaved = ramp(2048);
  struct Case {
    const char* name;
    std::vector<AudioEntry> entries;
    double frames;  // the frame count the handler must have used
    float firstMono, lastCarry;
  };
  const Case cases[] = {
      // The shorter entry decides; the rest of the longer one is not read.
      {"sizes 4096 and 4000", {entryOf(left, 4096), entryOf(right, 4000)}, 1000, 1, 1000},
      {"trailing partial sample", {entryOf(left, 4098)}, 1024, 0, 1023},
      // An entry without data is no channel: the average divides by two, not three.
      {"null entry", {entryOf(left, 4096), {nullptr, 4096}, entryOf(right, 4096)}, 1024, 1, 1024},
      // Interleaved data in one entry is taken as one long channel.
      {"single interleaved entry", {entryOf(interleaved, 8192)}, 2048, 0, 2047},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Captured captured;
    captured.handler.handle(48000, c.entries);
    const ResamplerState& state = captured.handler.resamplerState();
    EXPECT_EQ(state.carry, c.lastCarry);
    EXPECT_EQ(state.resampPos, std::ceil(c.frames / 3) * 3 - c.frames);
    const std::vector<float> samples = captured.samples();
    ASSERT_FALSE(samples.empty());
    EXPECT_EQ(samples[0], c.firstMono);
  }
}

TEST(SampleBufferHandler, UnusableBuffersLeaveNoTraceAndTheStateUntouched) {
  const std::vector<float> channel = ramp(1024, 5);
  const std::vector<float> tiny(1, 1.0f);
  struct Case {
    const char* name;
    double rate;
    std::vector<AudioEntry> entries;
  };
  const Case cases[] = {
      {"no entries", 48000, {}},
      {"no entry with data", 48000, {{nullptr, 4096}, {nullptr, 8}}},
      {"an entry smaller than a sample", 48000, {entryOf(channel, 4096), entryOf(tiny, 3)}},
      {"an empty entry", 48000, {entryOf(channel, 0)}},
      // Would yield billions of samples from one buffer.
      {"an absurdly small rate", 1e-3, {entryOf(channel, 4096)}},
      {"the smallest positive rate", std::numeric_limits<double>::denorm_min(),
       {entryOf(channel, 4096)}},
      // Would carry the position so far ahead that nothing came out for hours.
      {"a rate no device has", 2e7, {entryOf(channel, 4096)}},
      {"the largest finite rate", std::numeric_limits<double>::max(), {entryOf(channel, 4096)}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Captured captured;
    captured.handler.handle(48000, std::vector<AudioEntry>{entryOf(channel, 4)});
    const ResamplerState before = captured.handler.resamplerState();
    captured.handler.handle(c.rate, c.entries);
    const ResamplerState& after = captured.handler.resamplerState();
    EXPECT_EQ(after.resampPos, before.resampPos);
    EXPECT_EQ(after.carry, before.carry);
    EXPECT_EQ(captured.samples().size(), 1u);
  }
}

}  // namespace
}  // namespace qztap
