// The CoreMedia unpacking on sample buffers made by CoreMedia itself, laid out as
// ScreenCaptureKit delivers them and as it might: each row's channels must come out
// of the unpacking as they went in, bit for bit.

#include <CoreMedia/CoreMedia.h>
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "capture/sck/coremedia_buffer.h"

namespace qztap {
namespace {

using Channels = std::vector<std::vector<float>>;

struct ReleaseCF {
  void operator()(CFTypeRef object) const { CFRelease(object); }
};

// Sample `frame` of `channel`: a distinct value for each, none of them zero.
float sampleOf(size_t channel, size_t frame) {
  return static_cast<float>(channel + 1) + static_cast<float>(frame) / 4096.0f;
}

// A sample buffer of 32-bit float channels at 48 kHz, planar or interleaved, stamped
// at `start`, or an empty one for no frames; null if CoreMedia refuses it.
CMSampleBufferRef makeSampleBuffer(size_t channels, size_t frames, bool planar, CMTime start) {
  const auto bytesPerFrame = static_cast<UInt32>(sizeof(float) * (planar ? 1 : channels));
  const AudioStreamBasicDescription format{48000,
                                           kAudioFormatLinearPCM,
                                           kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked |
                                               (planar ? kAudioFormatFlagIsNonInterleaved : 0u),
                                           bytesPerFrame,
                                           1,
                                           bytesPerFrame,
                                           static_cast<UInt32>(channels),
                                           32,
                                           0};
  CMAudioFormatDescriptionRef description = nullptr;
  if (CMAudioFormatDescriptionCreate(kCFAllocatorDefault, &format, 0, nullptr, 0, nullptr, nullptr,
                                     &description) != 0) {
    return nullptr;
  }
  const std::unique_ptr<const void, ReleaseCF> heldDescription(description);
  CMSampleBufferRef sampleBuffer = nullptr;
  if (frames == 0) {
    // An empty buffer, with neither data nor times.
    const OSStatus status =
        CMSampleBufferCreate(kCFAllocatorDefault, nullptr, true, nullptr, nullptr, description, 0,
                             0, nullptr, 0, nullptr, &sampleBuffer);
    return status == 0 ? sampleBuffer : nullptr;
  }
  if (CMAudioSampleBufferCreateWithPacketDescriptions(
          kCFAllocatorDefault, nullptr, false, nullptr, nullptr, description,
          static_cast<CMItemCount>(frames), start, nullptr, &sampleBuffer) != 0) {
    return nullptr;
  }

  // The list the data is copied from: one buffer per channel, or one for them all.
  const size_t buffers = planar ? channels : 1;
  std::vector<float> samples(channels * frames);
  for (size_t channel = 0; channel < channels; ++channel) {
    for (size_t frame = 0; frame < frames; ++frame) {
      samples[planar ? channel * frames + frame : frame * channels + channel] =
          sampleOf(channel, frame);
    }
  }
  std::vector<std::byte> listMemory(offsetof(AudioBufferList, mBuffers) +
                                    buffers * sizeof(AudioBuffer));
  auto* list = reinterpret_cast<AudioBufferList*>(listMemory.data());
  list->mNumberBuffers = static_cast<UInt32>(buffers);
  const size_t samplesPerBuffer = samples.size() / buffers;
  for (size_t i = 0; i < buffers; ++i) {
    list->mBuffers[i] = AudioBuffer{static_cast<UInt32>(planar ? 1 : channels),
                                    static_cast<UInt32>(samplesPerBuffer * sizeof(float)),
                                    samples.data() + i * samplesPerBuffer};
  }
  if (CMSampleBufferSetDataBufferFromAudioBufferList(sampleBuffer, kCFAllocatorDefault,
                                                     kCFAllocatorDefault, 0, list) != 0) {
    CFRelease(sampleBuffer);
    return nullptr;
  }
  return sampleBuffer;
}

// Copies what reaches the output while the call lasts.
struct RecordingOutput final : StreamOutput {
  void didOutputBuffer(StreamOutputType, double streamRate,
                       std::span<const AudioEntry> entries) override {
    rate = streamRate;
    for (const AudioEntry& entry : entries) {
      const auto* samples = static_cast<const float*>(entry.data);
      channels.emplace_back(samples, samples + entry.byteSize / sizeof(float));
    }
  }
  double rate = 0;
  Channels channels;
};

TEST(CoreMediaSampleBuffer, EveryLayoutComesOutAsItWentIn) {
  struct Row {
    const char* name;
    size_t channels;
    size_t frames;
    bool planar;
  };
  const Row rows[] = {
      {"planar stereo, as ScreenCaptureKit delivers it", 2, 1024, true},
      {"interleaved stereo", 2, 1024, false},
      {"mono", 1, 480, true},
      {"planar stereo of one frame", 2, 1, true},
      {"planar stereo of an odd size, its second channel unaligned", 2, 333, true},
      {"interleaved stereo of an odd size", 2, 7, false},
      {"planar six channels", 6, 257, true},
      {"empty", 2, 0, true},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    const CMTime start = CMTimeMake(123456789, 48000);
    CMSampleBufferRef sampleBuffer = makeSampleBuffer(row.channels, row.frames, row.planar, start);
    ASSERT_NE(sampleBuffer, nullptr);
    const std::unique_ptr<const void, ReleaseCF> held(sampleBuffer);

    // What a size query asks for with and without the alignment the fill asks for:
    // where they differ, the unpacking's second query is what delivers the buffer.
    size_t plain = 0, aligned = 0;
    CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(sampleBuffer, &plain, nullptr, 0,
                                                            nullptr, nullptr, 0, nullptr);
    CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
        sampleBuffer, &aligned, nullptr, 0, nullptr, nullptr,
        kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, nullptr);
    std::printf("%s: list size %zu bytes, %zu with 16-byte alignment\n", row.name, plain, aligned);

    RecordingOutput output;
    forwardSampleBuffer(sampleBuffer, StreamOutputType::Audio, output);
    Channels expected(row.frames == 0 ? 0 : row.channels);
    for (size_t channel = 0; channel < expected.size(); ++channel) {
      for (size_t frame = 0; frame < row.frames; ++frame) {
        expected[channel].push_back(sampleOf(channel, frame));
      }
    }
    // An empty buffer may be dropped or delivered with nothing in it.
    if (row.frames == 0 && !output.channels.empty()) expected.resize(output.channels.size());
    EXPECT_EQ(output.channels, expected);
    if (!expected.empty()) {
      EXPECT_EQ(output.rate, 48000);
    }
    const std::optional<int64_t> startTicks = 123456789LL * 10'000'000 / 48000;
    EXPECT_EQ(captureTimeOf(sampleBuffer), row.frames == 0 ? std::nullopt : startTicks);
  }
}

}  // namespace
}  // namespace qztap
