#include "capture/sck/coremedia_buffer.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <memory>
#include <span>
#include <type_traits>
#include <vector>

#include "audio/deinterleave.h"

namespace qztap {
namespace {

struct FreeListMemory {
  void operator()(AudioBufferList* list) const { std::free(list); }
};
using ListMemory = std::unique_ptr<AudioBufferList, FreeListMemory>;

// Holds the block buffer a fill hands out, retained on our behalf: released once, and
// only if one came.
struct ReleaseBlockBuffer {
  void operator()(CMBlockBufferRef buffer) const { CFRelease(buffer); }
};
using BlockBuffer = std::unique_ptr<std::remove_pointer_t<CMBlockBufferRef>, ReleaseBlockBuffer>;

// List memory filled for one sample buffer, and the block buffer its entries point into.
struct FilledList {
  ListMemory memory;
  BlockBuffer blockBuffer;  // declared after the memory: released before it is freed
  size_t capacity = 0;      // entries the memory has room for; 0 when nothing was filled
  OSStatus status = 0;      // of the fill
};

// How many AudioBuffer entries list memory of `bytes` bytes has room for.
size_t entriesFitting(size_t bytes) {
  constexpr size_t header = offsetof(AudioBufferList, mBuffers);
  return bytes < header ? 0 : (bytes - header) / sizeof(AudioBuffer);
}

// Asks for the size the list needs with `queryFlags`, allocates exactly that and fills
// it, asking for 16-byte aligned data.
FilledList fillList(CMSampleBufferRef sampleBuffer, uint32_t queryFlags) {
  FilledList filled;
  // Only the size left in the variable counts, not the call's status.
  size_t listSize = 0;
  CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(sampleBuffer, &listSize, nullptr, 0,
                                                          nullptr, nullptr, queryFlags, nullptr);
  // Memory without room for one entry could not hold a list worth reading.
  if (entriesFitting(listSize) < 1) return filled;
  filled.memory.reset(static_cast<AudioBufferList*>(std::malloc(listSize)));
  if (!filled.memory) return filled;
  CMBlockBufferRef blockBuffer = nullptr;
  filled.status = CMSampleBufferGetAudioBufferListWithRetainedBlockBuffer(
      sampleBuffer, nullptr, filled.memory.get(), listSize, nullptr, nullptr,
      kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment, &blockBuffer);
  filled.blockBuffer.reset(blockBuffer);
  filled.capacity = entriesFitting(listSize);
  return filled;
}

// Whole frames of 32-bit samples in a buffer; none for a buffer without data.
size_t framesIn(const AudioBuffer& buffer) {
  const size_t channels = std::max<size_t>(buffer.mNumberChannels, 1);
  return buffer.mData == nullptr ? 0 : buffer.mDataByteSize / (sizeof(float) * channels);
}

// Samples the planes of the interleaved buffers take, once taken apart.
size_t planeSamplesFor(std::span<const AudioBuffer> buffers) {
  size_t samples = 0;
  for (const AudioBuffer& buffer : buffers) {
    if (buffer.mNumberChannels > 1) samples += framesIn(buffer) * buffer.mNumberChannels;
  }
  return samples;
}

}  // namespace

void forwardSampleBuffer(CMSampleBufferRef sampleBuffer, StreamOutputType type,
                         StreamOutput& output) {
  if (type != StreamOutputType::Audio) return;
  if (!CMSampleBufferIsValid(sampleBuffer)) return;
  // Both are "Get" results: they live as long as the sample buffer and are not ours
  // to release.
  const CMFormatDescriptionRef format = CMSampleBufferGetFormatDescription(sampleBuffer);
  if (format == nullptr) return;
  const AudioStreamBasicDescription* description =
      CMAudioFormatDescriptionGetStreamBasicDescription(format);
  if (description == nullptr) return;

  FilledList filled = fillList(sampleBuffer, 0);
  // The alignment flag can make the list need more room than a query without it
  // reports. Every fill would then fail and the capture would go silent, so ask again
  // with the fill's own flags, once.
  if (filled.status == kCMSampleBufferError_ArrayTooSmall) {
    // The first attempt is given back before the second.
    filled.blockBuffer.reset();
    filled.memory.reset();
    filled = fillList(sampleBuffer, kCMSampleBufferFlag_AudioBufferList_Assure16ByteAlignment);
  }
  if (filled.capacity < 1 || filled.status != 0) return;

  // A count beyond the memory the list was given is never read past that memory.
  const size_t count = std::min<size_t>(filled.memory->mNumberBuffers, filled.capacity);
  if (count < 1) return;
  const std::span<const AudioBuffer> buffers(filled.memory->mBuffers, count);
  std::vector<float> planes(planeSamplesFor(buffers));
  std::vector<AudioEntry> entries;
  entries.reserve(count);
  float* plane = planes.data();
  for (const AudioBuffer& buffer : buffers) {
    const size_t channels = buffer.mNumberChannels;
    const size_t frames = framesIn(buffer);
    if (channels <= 1 || frames == 0) {
      entries.push_back(AudioEntry{buffer.mData, buffer.mDataByteSize});
      continue;
    }
    // Interleaved channels, each taken apart into a plane of its own.
    deinterleave(static_cast<const float*>(buffer.mData), frames, channels, plane, entries);
    plane += frames * channels;
  }
  // The entries point into the block buffer, which is held until this returns, or into
  // the planes.
  output.didOutputBuffer(StreamOutputType::Audio, description->mSampleRate, entries);
}

std::optional<int64_t> timelineTicks(CMTime time) {
  // Valid, and neither infinite nor indefinite.
  if ((time.flags & (kCMTimeFlags_Valid | kCMTimeFlags_ImpliedValueFlagsMask)) !=
      kCMTimeFlags_Valid) {
    return std::nullopt;
  }
  constexpr auto scale = static_cast<int32_t>(SilenceTimeline::TICKS_PER_SECOND);
  return CMTimeConvertScale(time, scale, kCMTimeRoundingMethod_RoundTowardNegativeInfinity).value;
}

std::optional<int64_t> captureTimeOf(CMSampleBufferRef sampleBuffer) {
  return timelineTicks(CMSampleBufferGetPresentationTimeStamp(sampleBuffer));
}

}  // namespace qztap
